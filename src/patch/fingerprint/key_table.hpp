// One table of the keys of every fingerprint of a run: a probe of the archive is looked up once,
// whatever the number of textures, and meets each texture whose window holds its key.
#pragma once

#include "fingerprint/fingerprint.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dyeloom {

class KeyTable {
public:
    struct Entry {
        std::uint64_t key = 0;
        std::uint32_t fingerprint = empty; // which of the run's fingerprints
        std::uint32_t index = 0;           // of the key in its window
    };
    static constexpr std::uint32_t empty = 0xFFFFFFFF;
    // Filter bits per key: the filter (4 MiB for two million keys) stays in the processor's cache
    // far better than the table.
    static constexpr std::size_t filterBitsPerKey = 16;
    // A filter of up to this many words fits the processor's nearest caches (32 KiB).
    static constexpr std::size_t smallFilterWords = 4096;
    static constexpr std::size_t smallFilterKeys = smallFilterWords * 64 / filterBitsPerKey;

    // Fingerprint i's keys are probed at a stride of 2^widths[i] (probe_widths.hpp): a window by
    // its first 2^widths[i] keys, a pattern by all of its phases.
    KeyTable(std::span<const Fingerprint> fingerprints, std::span<const std::uint8_t> widths);

    // The probes' widths are powers of two: bit k of strides() is set when some fingerprint is
    // probed at a stride of 2^k. The archive is probed at every multiple of each width; a probe at
    // a multiple of several is looked up for each.
    [[nodiscard]] std::uint32_t strides() const noexcept { return strides_; }

    // Whether `key` may be that of a window 2^k wide: a bit of a small filter of that width's
    // keys, read before the table's slot, so that a width of few textures, probed often, costs a
    // bit of the processor's nearest cache.
    [[nodiscard]] bool mayHold(std::uint64_t key, unsigned k) const noexcept {
        const Filter& filter = filters_[k];
        const std::uint64_t hash = key * filterMultiplier;
        const std::uint64_t bits = filterBits(hash);
        return (filter.words[hash >> filter.shift] & bits) == bits;
    }
    void prefetchFilter(std::uint64_t key, unsigned k) const noexcept {
        const Filter& filter = filters_[k];
        __builtin_prefetch(&filter.words[(key * filterMultiplier) >> filter.shift]);
    }
    void prefetchSlot(std::uint64_t key) const noexcept {
        __builtin_prefetch(&slots_[slotOf(key)]);
    }
    // Whether the filter of width 2^k fits the processor's nearest caches (32 KiB).
    [[nodiscard]] bool filterIsSmall(unsigned k) const noexcept {
        return filters_[k].words.size() <= smallFilterWords;
    }

    // Calls `visit(entry)` for each entry of `key`.
    template <class Visit> void forEach(std::uint64_t key, Visit&& visit) const {
        for (std::size_t slot = slotOf(key);; slot = (slot + 1) & mask_) {
            const Entry& entry = slots_[slot];
            if (entry.fingerprint == empty)
                return;
            if (entry.key == key)
                visit(entry);
        }
    }

private:
    static constexpr std::uint64_t slotMultiplier = 0x9E3779B97F4A7C15ull;
    static constexpr std::uint64_t filterMultiplier = 0xC2B2AE3D27D4EB4Full;

    // A key sets three bits of one word of its width's filter (a blocked Bloom filter): one probe
    // in a hundred or so whose key is absent passes, where one bit a key let one in sixteen
    // through to a slot of the table, far out of the processor's caches.
    [[nodiscard]] static std::uint64_t filterBits(std::uint64_t hash) noexcept {
        return std::uint64_t{1} << (hash & 63) | std::uint64_t{1} << (hash >> 6 & 63) |
               std::uint64_t{1} << (hash >> 12 & 63);
    }
    [[nodiscard]] std::size_t slotOf(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>((key * slotMultiplier) >> slotShift_);
    }

    struct Filter {
        std::vector<std::uint64_t> words;
        unsigned shift = 63;
    };
    static constexpr unsigned widths = 32;

    std::vector<Entry> slots_;
    Filter filters_[widths];
    std::size_t mask_ = 0;
    unsigned slotShift_ = 63;
    std::uint32_t strides_ = 0;
};

} // namespace dyeloom
