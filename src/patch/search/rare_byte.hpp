// The search that needs no sampling: memchr between the hits of one byte, then Two-Way.
#pragma once

#include "bytes.hpp"
#include "haystack_reader.hpp"
#include "search/stretch.hpp"
#include "two_way.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace dyeloom::search_stages {

// Jumps between the hits of the needle's rarest byte with memchr, verifying each; once the
// verifying costs more than a linear scan would, the rest of the stretch goes to Two-Way. Its
// tables are built on first use: on ordinary data the sampling stage never calls for them.
class RareByteSearch {
public:
    // `needle` must not be empty and must outlive the searcher.
    explicit RareByteSearch(Bytes needle) : needle_(needle) {}

    // How often each byte value occurs in the haystack, from a sample of it: the needle's byte
    // that is rarest there is the anchor, where one is known before the first find().
    using ByteCounts = std::array<std::uint32_t, 256>;
    void expectHaystack(const ByteCounts& counts) { rare_ = findRareByte(needle_, &counts); }

    // The lowest match in `stretch`; `reader` (may be null) is told what will be read.
    [[nodiscard]] std::optional<std::size_t> find(Bytes haystack, Stretch stretch,
                                                  HaystackReader* reader = nullptr);

private:
    struct RareByte {
        std::size_t index = 0;
        std::uint8_t value = 0;
    };
    static RareByte findRareByte(Bytes needle, const ByteCounts* haystackCounts = nullptr);
    [[nodiscard]] std::optional<std::size_t> findLinear(Bytes haystack, Stretch stretch);

    Bytes needle_;
    std::optional<RareByte> rare_;
    // Built on first use, on the heap: its shift table is 2 KiB, and a batch holds a scan for
    // every needle though few ever need Two-Way.
    std::unique_ptr<TwoWay> twoWay_;
};

} // namespace dyeloom::search_stages
