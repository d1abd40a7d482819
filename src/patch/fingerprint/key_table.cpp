#include "fingerprint/key_table.hpp"

#include <algorithm>
#include <bit>

namespace dyeloom {
namespace {

// Slots per key, at least: a table at most half full ends a lookup of an absent key within a
// slot or two.
constexpr std::size_t slotsPerKey = 2;
// Filter bits per key: the filter (4 MiB for two million keys) stays in the processor's cache
// far better than the table.
constexpr std::size_t filterBitsPerKey = 16;

std::size_t keysOf(std::span<const Fingerprint> fingerprints) {
    std::size_t keys = 0;
    for (const Fingerprint& fingerprint : fingerprints)
        keys += fingerprint.keys.size();
    return keys;
}

unsigned shiftFor(std::size_t slots) {
    return 64 - static_cast<unsigned>(std::countr_zero(slots));
}

} // namespace

KeyTable::KeyTable(std::span<const Fingerprint> fingerprints) {
    std::size_t keysOfWidth[widths] = {};
    for (const Fingerprint& fingerprint : fingerprints)
        if (!fingerprint.keys.empty()) {
            const auto k = static_cast<unsigned>(std::countr_zero(fingerprint.stride()));
            keysOfWidth[k] += fingerprint.keys.size();
            strides_ |= std::uint32_t{1} << k;
        }
    for (unsigned k = 0; k < widths; ++k) {
        const std::size_t bits =
            std::bit_ceil(std::max<std::size_t>(keysOfWidth[k] * filterBitsPerKey, 128));
        filters_[k].words.assign(bits / 64, 0);
        filters_[k].shift = shiftFor(bits / 64);
    }
    const std::size_t slots =
        std::bit_ceil(std::max<std::size_t>(keysOf(fingerprints) * slotsPerKey, 2));
    slots_.assign(slots, Entry{});
    mask_ = slots - 1;
    slotShift_ = shiftFor(slots);
    for (std::size_t f = 0; f < fingerprints.size(); ++f) {
        const auto& window = fingerprints[f].keys;
        if (window.empty())
            continue;
        Filter& filter = filters_[std::countr_zero(fingerprints[f].stride())];
        for (std::size_t j = 0; j < window.size(); ++j) {
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
