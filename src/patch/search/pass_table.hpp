// The keys of every needle that shares one stride of the pass, in one table: a probe is looked
// up once, whatever the number of needles.
#pragma once

#include "bytes.hpp"
#include "search/pass_window.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

class PassTable {
public:
    // Keeps the keys of the windows of needles[members[k]] (windows[members[k]] each).
    void build(std::span<const Bytes> needles, std::span<const PassWindow> windows,
               std::span<const std::size_t> members);

    // The heap a key kept may take: its slots and filter bits, each rounded up to a power of two.
    [[nodiscard]] static std::size_t heapPerKey() noexcept;

    // False when no key kept can be this word: one bit, in a table small enough to stay in the
    // processor's cache, tells for most probes.
    [[nodiscard]] bool mayHold(std::uint64_t word) const {
        const std::size_t bit = (word * filterMultiplier) >> filterShift_;
        return ((filter_[bit / 64] >> (bit % 64)) & 1) != 0;
    }

    // Calls found(needle, position) for each key kept equal to `word`: the needle holds the
    // word at that position.
    template <class Found> void lookUp(std::uint64_t word, Found&& found) const {
        for (std::size_t at = slotOf(word);; at = (at + 1) & (slots_.size() - 1)) {
            const Slot& slot = slots_[at];
            if (slot.needle == emptySlot)
                return;
            if (slot.key == word)
                found(std::size_t{slot.needle}, std::size_t{slot.position});
        }
    }

private:
    static constexpr std::uint64_t slotMultiplier = 0x9E3779B97F4A7C15ull;
    static constexpr std::uint64_t filterMultiplier = 0xC2B2AE3D27D4EB4Full;
    static constexpr std::uint32_t emptySlot = UINT32_MAX;

    struct Slot {
        std::uint64_t key = 0;
        std::uint32_t needle = emptySlot;
        std::uint32_t position = 0;
    };

    [[nodiscard]] std::size_t slotOf(std::uint64_t word) const {
        return (word * slotMultiplier) >> slotShift_;
    }

    unsigned slotShift_ = 63;
    std::vector<Slot> slots_;
    unsigned filterShift_ = 63;
    std::vector<std::uint64_t> filter_;
};

} // namespace dyeloom::search_stages
