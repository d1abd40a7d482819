// The stages findFirst is built from, each usable alone so that tests and benchmarks can hold
// every one of them to the same answers. Not for use outside the search and its tests.
#pragma once

#include "bytes.hpp"
#include "two_way.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace dyeloom::search_stages {

// Candidate offsets `first` to `last` (inclusive) of a needle: both ends are offsets at which
// the whole needle fits in the haystack.
struct Stretch {
    std::size_t first = 0;
    std::size_t last = 0;
};

// Jumps between the hits of the needle's rarest byte with memchr, verifying each; once the
// verifying costs more than a linear scan would, the rest of the stretch goes to Two-Way. Its
// tables are built on first use: on ordinary data the sampling stage never calls for them.
class RareByteSearch {
public:
    // `needle` must not be empty and must outlive the searcher.
    explicit RareByteSearch(Bytes needle) : needle_(needle) {}

    [[nodiscard]] std::optional<std::size_t> find(Bytes haystack, Stretch stretch);

private:
    struct RareByte {
        std::size_t index = 0;
        std::uint8_t value = 0;
    };
    static RareByte findRareByte(Bytes needle);
    [[nodiscard]] std::optional<std::size_t> findLinear(Bytes haystack, Stretch stretch);

    Bytes needle_;
    std::optional<RareByte> rare_;
    std::optional<TwoWay> twoWay_;
};

// Looks at the haystack only once every stride, a little less than the needle's length: any
// occurrence covers a whole stride, so it meets one block of samples. A block reads a few
// q-grams and looks them up in an index of the needle's q-grams; only the offsets they imply are
// verified. Blocks whose candidates are too many to verify cheaply ("hard" ones: repetitive
// data) are handed, growing while they stay hard, to a RareByteSearch.
class SampledSearch {
public:
    // Needles shorter than this go to RareByteSearch alone: their stride would be too short
    // for skipping to pay for the index. 256 keeps the stride above 240 bytes.
    static constexpr std::size_t minNeedle = 256;

    // `needle` (at least minNeedle bytes) and `fallback` must outlive the searcher.
    SampledSearch(Bytes needle, RareByteSearch& fallback);

    [[nodiscard]] std::optional<std::size_t> find(Bytes haystack);

private:
    struct BlockResult {
        enum class Kind { NoMatch, Match, Hard } kind = Kind::NoMatch;
        std::size_t offset = 0; // for Match
    };

    [[nodiscard]] std::size_t bucketOf(std::uint64_t gram) const;
    BlockResult searchBlock(Bytes haystack, std::size_t sampleStart, Stretch stretch);

    Bytes needle_;
    RareByteSearch& fallback_;
    std::size_t stride_;
    unsigned bucketBits_ = 4;
    std::vector<std::uint32_t> bucketHeads_; // 1 + first entry of each bucket's chain, 0: empty
    std::vector<std::uint32_t> nextInChain_; // 1 + next entry, 0: end of chain
    std::vector<std::size_t> candidates_;    // reused by every block
};

} // namespace dyeloom::search_stages
