#include "search/group_table.hpp"

namespace dyeloom::search_stages {
namespace {

// The first informative entry of each class: all a plan relies on, so at most one a class.
EntryFlags firstOfEachClass(const EntryFlags& informative, std::size_t spacingEntries,
                            std::size_t& kept) {
    EntryFlags first(informative.size(), 0);
    for (std::size_t inClass = 0; inClass < spacingEntries; ++inClass)
        for (std::size_t entry = inClass; entry < first.size(); entry += spacingEntries)
            if (informative[entry] != 0) {
                first[entry] = 1;
                ++kept;
                break;
            }
    return first;
}

} // namespace

void GroupTable::build(std::span<const Bytes> needles, std::span<const IndexedPart> parts,
                       std::size_t spacingEntries) {
    std::vector<EntryFlags> kept;
    std::size_t entries = 0;
    for (const IndexedPart& part : parts)
        kept.push_back(firstOfEachClass(part.informative, spacingEntries, entries));
    // Half the slots taken: a lookup that finds nothing, the common case, stops soon.
    slots_.assign(2 * entries + 1, 0);
    while ((std::size_t{1} << presenceBits_) < presenceBitsPerEntry * entries)
        ++presenceBits_;
    presence_.assign((std::size_t{1} << presenceBits_) / 64, 0);
    leadPresence_.assign(presence_.size(), 0);
    std::uint32_t id = 0; // every entry of every part, informative or not, numbered in order
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const IndexedPart& part = parts[k];
        partBase_.push_back(id);
        partNeedle_.push_back(static_cast<std::uint32_t>(part.needle));
        partFrom_.push_back(part.from);
        // Entries are a word apart: each fingerprint rolls on from the one before.
        const std::uint8_t* bytes = needles[part.needle].data() + part.from;
        std::uint64_t print = fingerprint(bytes);
        for (std::size_t entry = 0; entry < part.informative.size(); ++entry, ++id) {
            if (entry > 0)
                print = nextFingerprint(print, bytes + bytesOfEntries(entry - 1));
            if (kept[k][entry] == 0)
                continue;
            std::size_t at = slotOf(print);
            while (slots_[at] != 0)
                at = at + 1 == slots_.size() ? 0 : at + 1;
            slots_[at] = (print >> 32 << 32) | (std::uint64_t{id} + 1);
            setBit(presence_.data(), topBits(print, GramPrint::presenceMultiplier, presenceBits_));
            setBit(leadPresence_.data(), topBits(leadOf(bytes + bytesOfEntries(entry)),
                                                 GramPrint::multiplier, presenceBits_));
        }
    }
}

} // namespace dyeloom::search_stages
