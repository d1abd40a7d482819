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

    explicit KeyTable(std::span<const Fingerprint> fingerprints);

    // The heap a table of `keys` keys takes.
    [[nodiscard]] static std::size_t heapBytes(std::size_t keys) noexcept;

    // The narrowest window of any fingerprint (0 when none has keys): the archive is probed at
    // every such stride, and each key is looked up in the table.
    [[nodiscard]] std::size_t minStride() const noexcept { return minStride_; }

    // Whether `key` may be in the table: a bit of a small filter, read before the table's slot.
    [[nodiscard]] bool mayHold(std::uint64_t key) const noexcept {
        const std::uint64_t bit = (key * filterMultiplier) >> filterShift_;
        return (filter_[bit / 64] >> (bit % 64) & 1) != 0;
    }
    void prefetchFilter(std::uint64_t key) const noexcept {
        __builtin_prefetch(&filter_[((key * filterMultiplier) >> filterShift_) / 64]);
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

    [[nodiscard]] std::size_t slotOf(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>((key * slotMultiplier) >> slotShift_);
    }

    std::vector<Entry> slots_;
    std::vector<std::uint64_t> filter_;
    std::size_t mask_ = 0;
    unsigned slotShift_ = 63;
    unsigned filterShift_ = 63;
    std::size_t minStride_ = 0;
};

} // namespace dyeloom
