#include "search/informative_entries.hpp"

#include "search/gram_print.hpp"

#include <algorithm>

namespace dyeloom::search_stages {
namespace {

// How the window of a long needle is chosen: this many windows spread over it, each judged at
// this many positions by grams of probedGramBytes. The check costs a tenth of a millisecond.
constexpr std::size_t indexedWindowsTried = 8;
constexpr std::size_t windowProbes = 2048;
constexpr std::size_t probedGramBytes = 128;

// A set of the grams met so far, which marks a gram repeated when it is met again. A slot holds
// 1 + an entry (0: empty) in its low bits, a tag of the gram's fingerprint above them, and
// repeatedFlag when the gram occurs at more than one entry or is a short repetition. Four bytes
// a slot keep the table small; the tag settles nearly every probe without reading the needle.
class GramSet {
public:
    GramSet(Bytes part, std::size_t gramBytes, std::size_t entries)
        : part_(part), gramBytes_(gramBytes) {
        // At most three slots in four taken: probes stay short, and the table small.
        while ((std::size_t{3} << slotBits_) < 4 * entries)
            ++slotBits_;
        slots_.assign(std::size_t{1} << slotBits_, 0);
    }

    void add(std::size_t entry, std::uint64_t print) {
        const std::uint8_t* gram = part_.data() + bytesOfEntries(entry);
        const std::uint32_t tag = tagOf(print);
        for (std::size_t at = slotOf(print);; at = (at + 1) & (slots_.size() - 1)) {
            std::uint32_t& slot = slots_[at];
            if (slot == 0) {
                const bool repetition = isShortRepetition(gram, gramBytes_);
                slot =
                    static_cast<std::uint32_t>(entry + 1) | tag | (repetition ? repeatedFlag : 0);
                return;
            }
            if ((slot & tagMask) == tag && sameGram(gramOf(slot), gram)) {
                slot |= repeatedFlag;
                return;
            }
        }
    }

    void markInformative(EntryFlags& flags) const {
        for (const std::uint32_t slot : slots_)
            if (slot != 0 && (slot & repeatedFlag) == 0)
                flags[(slot & entryMask) - 1] = 1;
    }

private:
    static constexpr unsigned entryBits = 18; // a MiB of entries at most
    static constexpr std::uint32_t entryMask = (std::uint32_t{1} << entryBits) - 1;
    static constexpr std::uint32_t repeatedFlag = std::uint32_t{1} << 31;
    static constexpr std::uint32_t tagMask = ~entryMask & ~repeatedFlag;

    // Bits the slot's position does not already fix (it comes from the product's top bits).
    [[nodiscard]] static std::uint32_t tagOf(std::uint64_t print) {
        return static_cast<std::uint32_t>(print * GramPrint::multiplier) & tagMask;
    }
    [[nodiscard]] std::size_t slotOf(std::uint64_t print) const {
        return topBits(print, GramPrint::multiplier, slotBits_);
    }
    [[nodiscard]] const std::uint8_t* gramOf(std::uint32_t slot) const {
        return part_.data() + bytesOfEntries((slot & entryMask) - 1);
    }
    [[nodiscard]] bool sameGram(const std::uint8_t* a, const std::uint8_t* b) const {
        // The first word settles nearly every comparison without a call.
        return load64(a) == load64(b) && std::memcmp(a + 8, b + 8, gramBytes_ - 8) == 0;
    }

    Bytes part_;
    std::size_t gramBytes_;
    unsigned slotBits_ = 4;
    std::vector<std::uint32_t> slots_;
};

} // namespace

EntryFlags informativeEntries(Bytes part, std::size_t gramBytes) {
    const std::size_t entries = (part.size() - gramBytes) / entryBytes + 1;
    const GramPrint print(gramBytes);
    GramSet grams(part, gramBytes, entries);
    std::uint64_t fingerprint = print.of(part.data());
    for (std::size_t entry = 0; entry < entries; ++entry) {
        if (entry > 0)
            fingerprint = print.next(fingerprint, part.data() + bytesOfEntries(entry - 1));
        grams.add(entry, fingerprint);
    }
    EntryFlags flags(entries, 0);
    grams.markInformative(flags);
    return flags;
}

std::size_t indexedWindowStart(Bytes needle, std::size_t windowBytes) {
    if (needle.size() <= windowBytes)
        return 0;
    const std::size_t room = needle.size() - windowBytes;
    const std::size_t probeStep = std::max<std::size_t>(windowBytes / windowProbes, entryBytes);
    std::size_t best = 0, bestScore = 0;
    for (std::size_t window = 0; window < indexedWindowsTried; ++window) {
        // Entries of the window fall on entries of the needle.
        const std::size_t start =
            bytesOfEntries(room / (indexedWindowsTried - 1) * window / entryBytes);
        std::size_t score = 0;
        for (std::size_t at = start; at + probedGramBytes <= start + windowBytes; at += probeStep)
            score += isShortRepetition(needle.data() + at, probedGramBytes) ? 0 : 1;
        if (score > bestScore) {
            best = start;
            bestScore = score;
        }
    }
    return best;
}

IndexedPart indexPart(Bytes needle, std::size_t i, std::size_t windowBytes, std::size_t gramBytes) {
    const std::size_t from = indexedWindowStart(needle, windowBytes);
    return {i, from,
            informativeEntries(needle.subspan(from, std::min(needle.size() - from, windowBytes)),
                               gramBytes)};
}

} // namespace dyeloom::search_stages
