// One table of the informative grams of a group's needles: a sample is looked up once, whatever
// the number of needles in the group.
#pragma once

#include "bytes.hpp"
#include "search/gram_print.hpp"
#include "search/informative_entries.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

class GroupTable {
public:
    // Presence bits per entry kept: an eighth of the lookups that find nothing still probe.
    static constexpr std::size_t presenceBitsPerEntry = 8;

    explicit GroupTable(std::size_t gramBytes = 8) : print_(gramBytes) {}

    // Keeps, of each part of needles[part.needle], the first informative entry of each class of
    // `spacingEntries`: a candidate is met by every entry of the runs of classes its blocks
    // cover, and the plan makes sure each run holds a class whose first entry is informative.
    void build(std::span<const Bytes> needles, std::span<const IndexedPart> parts,
               std::size_t spacingEntries);

    [[nodiscard]] std::size_t gramBytes() const noexcept { return print_.gramBytes(); }
    [[nodiscard]] std::uint64_t fingerprint(const std::uint8_t* gram) const {
        return print_.of(gram);
    }
    [[nodiscard]] std::uint64_t nextFingerprint(std::uint64_t print,
                                                const std::uint8_t* gram) const {
        return print_.next(print, gram);
    }
    // False when no entry kept starts as the gram at `gram` does: one bit, from the gram's first
    // 16 bytes, tells for most samples before their fingerprint (up to 16 multiplications) is
    // worked out.
    [[nodiscard]] bool mayStart(const std::uint8_t* gram) const {
        return testBit(leadPresence_.data(),
                       topBits(leadOf(gram), GramPrint::multiplier, presenceBits_));
    }
    // False when no entry kept can have this fingerprint: one bit tells, before any probing, for
    // most samples, which hold no informative gram.
    [[nodiscard]] bool mayHold(std::uint64_t print) const {
        return testBit(presence_.data(),
                       topBits(print, GramPrint::presenceMultiplier, presenceBits_));
    }
    // Calls found(needle, needlePos) for every entry kept whose gram may be the one with this
    // fingerprint: the caller compares the bytes.
    template <class Found> void lookUp(std::uint64_t print, Found&& found) const {
        const auto tag = static_cast<std::uint32_t>(print >> 32);
        for (std::size_t at = slotOf(print);; at = at + 1 == slots_.size() ? 0 : at + 1) {
            const std::uint64_t slot = slots_[at];
            if (slot == 0)
                return;
            if (static_cast<std::uint32_t>(slot >> 32) == tag) {
                const auto id = static_cast<std::uint32_t>(slot) - 1;
                const auto part = static_cast<std::size_t>(
                    std::upper_bound(partBase_.begin(), partBase_.end(), id) - partBase_.begin() -
                    1);
                found(std::size_t{partNeedle_[part]},
                      partFrom_[part] + bytesOfEntries(id - partBase_[part]));
            }
        }
    }

private:
    [[nodiscard]] std::uint64_t leadOf(const std::uint8_t* gram) const {
        const std::uint64_t first = load64(gram) * GramPrint::presenceMultiplier;
        return gramBytes() >= 16 ? first ^ load64(gram + 8) : first;
    }
    // The table has exactly twice as many slots as entries, not the next power of two: it is
    // the largest of the search's tables, and a mod's pass counts its size against the heap.
    [[nodiscard]] std::size_t slotOf(std::uint64_t print) const {
        const std::uint64_t mixed = topBits(print, GramPrint::multiplier, 32);
        return static_cast<std::size_t>((mixed * slots_.size()) >> 32);
    }

    GramPrint print_;
    // A slot holds the fingerprint's high half and 1 + an entry's number (0: empty). Entries are
    // numbered part after part, each part's from partBase_ on: nothing else is kept per entry.
    std::vector<std::uint64_t> slots_;
    std::vector<std::uint32_t> partBase_;
    std::vector<std::uint32_t> partNeedle_;
    std::vector<std::size_t> partFrom_;
    unsigned presenceBits_ = 6;
    std::vector<std::uint64_t> presence_;
    std::vector<std::uint64_t> leadPresence_; // as many bits, by the grams' first bytes
};

} // namespace dyeloom::search_stages
