#include "search/pass_table.hpp"

#include <bit>

namespace dyeloom::search_stages {
namespace {

// Slots per key kept: half the slots empty keeps the probing short.
constexpr std::size_t slotsPerKey = 2;
// Filter bits per key kept: a sixteenth of the probes that find nothing still reach the table.
constexpr std::size_t filterBitsPerKey = 16;

unsigned shiftFor(std::size_t count) {
    return 64 - static_cast<unsigned>(std::countr_zero(count));
}

} // namespace

std::size_t PassTable::heapPerKey() noexcept {
    return 2 * (slotsPerKey * sizeof(Slot) + filterBitsPerKey / 8);
}

void PassTable::build(std::span<const Bytes> needles, std::span<const PassWindow> windows,
                      std::span<const std::size_t> members) {
    std::size_t keys = 0;
    for (const std::size_t i : members)
        keys += windows[i].stride;
    const std::size_t slotCount = std::bit_ceil(std::max<std::size_t>(keys * slotsPerKey, 2));
    const std::size_t filterBits =
        std::bit_ceil(std::max<std::size_t>(keys * filterBitsPerKey, 64));
    slots_.assign(slotCount, Slot{});
    slotShift_ = shiftFor(slotCount);
    filter_.assign(filterBits / 64, 0);
    filterShift_ = shiftFor(filterBits);
    for (const std::size_t i : members) {
        const PassWindow& window = windows[i];
        for (std::size_t position = window.start; position < window.start + window.stride;
             ++position) {
            const std::uint64_t word = keyAt(needles[i].data() + position);
            std::size_t at = slotOf(word);
            while (slots_[at].needle != emptySlot)
                at = (at + 1) & (slots_.size() - 1);
            slots_[at] = {word, static_cast<std::uint32_t>(i),
                          static_cast<std::uint32_t>(position)};
            const std::size_t bit = (word * filterMultiplier) >> filterShift_;
            filter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
        }
    }
}

} // namespace dyeloom::search_stages
