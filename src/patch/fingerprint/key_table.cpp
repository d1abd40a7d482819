#include "fingerprint/key_table.hpp"

#include "fingerprint/probe_widths.hpp"

#include <algorithm>
#include <bit>

namespace dyeloom {
namespace {

// Slots per key, at least: a table at most half full ends a lookup of an absent key within a
// slot or two.
constexpr std::size_t slotsPerKey = 2;
unsigned shiftFor(std::size_t slots) {
    return 64 - static_cast<unsigned>(std::countr_zero(slots));
}

} // namespace

KeyTable::KeyTable(std::span<const Fingerprint> fingerprints,
                   std::span<const std::uint8_t> probeWidths) {
    std::size_t keysOfWidth[widths] = {};
    std::size_t keys = 0;
    for (std::size_t f = 0; f < fingerprints.size(); ++f)
        if (!fingerprints[f].keys.empty()) {
            const unsigned k = probeWidths[f];
            keysOfWidth[k] += probedKeys(fingerprints[f], k);
            keys += probedKeys(fingerprints[f], k);
            strides_ |= std::uint32_t{1} << k;
        }
    for (unsigned k = 0; k < widths; ++k) {
        const std::size_t bits =
            std::bit_ceil(std::max<std::size_t>(keysOfWidth[k] * filterBitsPerKey, 128));
        filters_[k].words.assign(bits / 64, 0);
        filters_[k].shift = shiftFor(bits / 64);
    }
    const std::size_t slots = std::bit_ceil(std::max<std::size_t>(keys * slotsPerKey, 2));
    slots_.assign(slots, Entry{});
    mask_ = slots - 1;
    slotShift_ = shiftFor(slots);
    for (std::size_t f = 0; f < fingerprints.size(); ++f) {
        const auto& window = fingerprints[f].keys;
        if (window.empty())
            continue;
        Filter& filter = filters_[probeWidths[f]];
        for (std::size_t j = 0; j < probedKeys(fingerprints[f], probeWidths[f]); ++j) {
            std::size_t slot = slotOf(window[j]);
            while (slots_[slot].fingerprint != empty)
                slot = (slot + 1) & mask_;
            slots_[slot] = {window[j], static_cast<std::uint32_t>(f),
                            static_cast<std::uint32_t>(j)};
            const std::uint64_t hash = window[j] * filterMultiplier;
            filter.words[hash >> filter.shift] |= filterBits(hash);
        }
    }
}

} // namespace dyeloom
