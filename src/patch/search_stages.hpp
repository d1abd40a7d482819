// The stages findFirst is built from, each usable alone so that tests and benchmarks can hold
// every one of them to the same answers. Not for use outside the search and its tests.
#pragma once

#include "bytes.hpp"
#include "haystack_reader.hpp"
#include "two_way.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

// Candidate offsets `first` to `last` (inclusive) of a needle: both are offsets at which the
// whole needle fits in the haystack.
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

    // How often each byte value occurs in the haystack, from a sample of it: the needle's byte
    // that is rarest there is the anchor, where one is known before the first find().
    using ByteCounts = std::array<std::uint32_t, 256>;
    void expectHaystack(const ByteCounts& counts) { rare_ = findRareByte(needle_, &counts); }

    // `reader` (may be null) is told what will be read.
    [[nodiscard]] std::optional<std::size_t> find(Bytes haystack, Stretch stretch,
                                                  HaystackReader* reader = nullptr);

private:
    struct RareByte {
        std::size_t index = 0;
        std::uint8_t value = 0;
    };
    static RareByte findRareByte(Bytes needle, const ByteCounts* haystackCounts = nullptr);
    [[nodiscard]] std::optional<std::size_t> findLinear(Bytes haystack, Stretch stretch);

    Bytes needle_;
    std::optional<RareByte> rare_;
    // Built on first use, on the heap: its shift table is 2 KiB, and a batch holds a scan for
    // every needle though few ever need Two-Way.
    std::unique_ptr<TwoWay> twoWay_;
};

// A gram's fingerprint: a polynomial over its words, summed term by term so that the
// multiplications do not wait on one another, and rolled along a text a word at a time (one word
// leaves the polynomial and one joins it).
class GramPrint {
public:
    // The multiplier of a Fibonacci hash: it weighs the words, and spreads grams over slots.
    static constexpr std::uint64_t multiplier = 0x9E3779B97F4A7C15ull;

    // Grams of `gramBytes`, a multiple of 8 up to 128.
    explicit GramPrint(std::size_t gramBytes = 8);

    [[nodiscard]] std::size_t gramBytes() const noexcept { return gramBytes_; }
    [[nodiscard]] std::uint64_t of(const std::uint8_t* gram) const;
    // The fingerprint of the gram a word after `gram`, from that of `gram`.
    [[nodiscard]] std::uint64_t next(std::uint64_t print, const std::uint8_t* gram) const {
        return (print - load64(gram) * leadingPower_) * multiplier + load64(gram + gramBytes_);
    }
    static std::uint64_t load64(const std::uint8_t* bytes) {
        std::uint64_t value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

private:
    std::size_t gramBytes_;
    std::array<std::uint64_t, 16> powers_{1}; // the weight of each word, last word first
    std::uint64_t leadingPower_ = 1;          // the weight of a gram's first word
};

// The needle's q-grams at every indexStep-th position (its entries) that say much about it:
// grams that occur once among the entries and are no short repetition (a run of one byte, a
// repeated 16-bit value or pixel or 8-byte block). Transparent or flat areas of a texture give
// grams that occur everywhere in an archive; leaving them out keeps lookups to one candidate.
class GramIndex {
public:
    static constexpr std::size_t indexStep = 8;
    // The multiplier of a Fibonacci hash: spreads grams over the index's slots.
    static constexpr std::uint64_t fibonacciMultiplier = GramPrint::multiplier;
    // Another odd multiplier (from splitmix64), so that presence bits and slots fall
    // independently.
    static constexpr std::uint64_t presenceMultiplier = 0xBF58476D1CE4E5B9ull;

    // Indexes the grams of `gramBytes` (a multiple of 8) bytes at every indexStep-th position
    // of `needlePart`, which must hold at least two entries and outlive the index.
    GramIndex(Bytes needlePart, std::size_t gramBytes);

    [[nodiscard]] std::size_t gramBytes() const noexcept { return print_.gramBytes(); }
    [[nodiscard]] std::size_t entries() const noexcept { return informative_.size(); }
    [[nodiscard]] bool informative(std::size_t entry) const { return informative_[entry] != 0; }
    [[nodiscard]] std::span<const std::uint8_t> informativeFlags() const noexcept {
        return informative_;
    }
    // A gram's fingerprint, and the fingerprint of the gram a word later, from the one before:
    // entries are a word apart, so one word leaves the polynomial and one joins it.
    [[nodiscard]] std::uint64_t fingerprint(const std::uint8_t* gram) const {
        return print_.of(gram);
    }
    [[nodiscard]] std::uint64_t nextFingerprint(std::uint64_t fingerprint,
                                                const std::uint8_t* gram) const {
        return print_.next(fingerprint, gram);
    }
    // False when no informative entry can have this fingerprint: one bit tells, before any
    // probing, for most samples, which hold no informative gram.
    [[nodiscard]] bool mayHold(std::uint64_t fingerprint) const {
        const std::size_t bit = presenceBitOf(fingerprint);
        return (presence_[bit / 64] >> (bit % 64) & 1) != 0;
    }
    // The informative entry whose gram equals the gramBytes() bytes at `gram`.
    [[nodiscard]] std::optional<std::size_t> find(std::uint64_t fingerprint,
                                                  const std::uint8_t* gram) const;

private:
    // A slot holds 1 + an entry (0: empty) in its low bits, a tag of the gram's fingerprint
    // above them, and repeatedFlag when the gram occurs at more than one entry or is a short
    // repetition. Four bytes a slot keep the table small; the tag settles nearly every probe
    // without reading the needle.
    static constexpr unsigned entryBits = 18;
    static constexpr std::uint32_t entryMask = (std::uint32_t{1} << entryBits) - 1;
    static constexpr std::uint32_t repeatedFlag = std::uint32_t{1} << 31;
    static constexpr std::uint32_t tagMask = ~entryMask & ~repeatedFlag;
    [[nodiscard]] static std::uint32_t tagOf(std::uint64_t fingerprint);
    [[nodiscard]] std::size_t slotOf(std::uint64_t fingerprint) const;
    [[nodiscard]] std::size_t presenceBitOf(std::uint64_t fingerprint) const {
        return static_cast<std::size_t>((fingerprint * presenceMultiplier) >> (64 - presenceBits_));
    }
    static std::uint64_t load64(const std::uint8_t* bytes) {
        std::uint64_t value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    [[nodiscard]] const std::uint8_t* gramOf(std::uint32_t slot) const;
    [[nodiscard]] bool sameGram(const std::uint8_t* a, const std::uint8_t* b) const;

    Bytes needlePart_;
    GramPrint print_;
    unsigned slotBits_ = 4;
    std::vector<std::uint32_t> slots_;
    std::vector<std::uint8_t> informative_;
    // A bit set by the fingerprint of every gram that is no short repetition: a clear bit ends
    // a lookup.
    unsigned presenceBits_ = 6;
    std::vector<std::uint64_t> presence_;
};

// Where the sampling looks. A block of `blockEntries` x indexStep consecutive samples starts
// every `spacingEntries` x indexStep bytes. A candidate offset p meets, in the blocks, the
// entries of blockEntries consecutive classes e = k - p / indexStep (mod spacingEntries),
// k < blockEntries; the plan makes sure that every such run of classes holds an informative
// entry. `lagBytes` bounds how far past p the first block that meets p can lie.
struct SamplingPlan {
    std::size_t spacingEntries = 0;
    std::size_t blockEntries = 1;
    std::size_t lagBytes = 0;
};

// The plan with blocks `spacing` entries apart for a needle whose entries are informative where
// `informative` says, or nothing if some run of classes would have no informative entry.
std::optional<SamplingPlan> planWithSpacing(std::span<const std::uint8_t> informative,
                                            std::size_t spacing);

// What a block costs beside its samples, counted in lookups of a sample (about 20 ns each). A
// block whose page must be read on its own costs that read: 1 us for a cached page copied out
// with a positioned read, up to 15 us from the disk. Where the whole haystack is read anyway
// (a needle is scanned, or sampled densely enough to touch every page), only the loop's own
// work and the hand-over to the reader remain. A plan's cost per haystack byte is
// (this + its samples per block) / its spacing.
inline constexpr std::size_t uncachedBlockCost = 512;
inline constexpr std::size_t readBlockCost = 16;

// What plans may be made: what a block costs, and how far apart blocks may lie, in entries. A
// batch's table holds up to one entry a class of each needle: its spacing bounds the table.
struct PlanLimits {
    std::size_t blockCost = uncachedBlockCost;
    std::size_t maxSpacingEntries = std::numeric_limits<std::size_t>::max();
};

// The cheapest plan for the index: few blocks, each of few samples; nothing if no plan meets
// every candidate with blocks of a page or less.
std::optional<SamplingPlan> planSampling(const GramIndex& index, const PlanLimits& limits = {});

// Whether plan `a` costs less per haystack byte than plan `b`.
bool cheaper(const SamplingPlan& a, const SamplingPlan& b,
             std::size_t blockCost = uncachedBlockCost);

// The part of a needle a batch indexes, from `from` on, with the flags of its informative entries
// at the batch's gram length.
struct IndexedPart {
    std::size_t needle = 0;
    std::size_t from = 0;
    std::vector<std::uint8_t> informative;
};

// Needle i's part of at most `windowBytes`, the least plain, indexed at grams of `gramBytes`.
IndexedPart indexPart(Bytes needle, std::size_t i, std::size_t windowBytes, std::size_t gramBytes);

// One sampling plan and one table of informative grams for a batch of needles: the haystack is
// looked at in one series of blocks, and each sample is looked up once whatever the number of
// needles. The spacing is the widest that still meets every candidate of every sampled needle,
// so the batch reads about what its hardest member would read alone. Needles too short or too
// plain to be sampled at all, or that no shared spacing suits, are left to a scan.
class SharedSampling {
public:
    // Needles shorter than this are scanned: too few entries to sample with.
    static constexpr std::size_t minNeedle = 256;

    // Samples the needles of `parts` (of at most `windowBytes` each, at grams of `gramBytes`)
    // together; `needles` must outlive the sampling.
    SharedSampling(std::span<const Bytes> needles, std::vector<IndexedPart> parts,
                   std::size_t gramBytes, std::size_t windowBytes, const PlanLimits& limits);

    [[nodiscard]] bool samples(std::size_t needle) const { return sampled_[needle] != 0; }
    // Whether the needle is one of those with the fewest entries, which bound the spacing: once
    // they are all found, the others may be sampled more sparsely.
    [[nodiscard]] bool bounds(std::size_t needle) const { return bounding_[needle] != 0; }
    [[nodiscard]] std::size_t windowBytes() const noexcept { return windowBytes_; }
    [[nodiscard]] const PlanLimits& limits() const noexcept { return limits_; }
    // The size of the smallest part indexed, which bounds the spacing.
    [[nodiscard]] std::size_t boundBytes() const noexcept { return boundBytes_; }
    // How much of each needle is indexed in a batch of `needles`, and how far apart its blocks
    // may lie, in entries.
    static std::size_t windowFor(std::size_t needles);
    static std::size_t maxSpacingFor(std::size_t needles);
    [[nodiscard]] bool samplesAny() const noexcept { return spacingBytes() != 0; }
    [[nodiscard]] std::size_t spacingBytes() const noexcept {
        return plan_.spacingEntries * GramIndex::indexStep;
    }
    [[nodiscard]] std::size_t blockSamples() const noexcept {
        return plan_.blockEntries * GramIndex::indexStep;
    }
    [[nodiscard]] std::size_t gramBytes() const noexcept { return print_.gramBytes(); }
    // How far past a candidate of `needle` the first block that meets it can lie.
    [[nodiscard]] std::size_t lagBytes(std::size_t needle) const { return lag_[needle]; }

    // A gram's fingerprint, and the next one a word on, as GramIndex computes them.
    [[nodiscard]] std::uint64_t fingerprint(const std::uint8_t* gram) const {
        return print_.of(gram);
    }
    [[nodiscard]] std::uint64_t nextFingerprint(std::uint64_t print,
                                                const std::uint8_t* gram) const {
        return print_.next(print, gram);
    }
    [[nodiscard]] bool mayHold(std::uint64_t print) const {
        const std::size_t bit = presenceBitOf(print);
        return (presence_[bit / 64] >> (bit % 64) & 1) != 0;
    }
    // Calls found(needle, needlePos) for every informative entry whose gram may be the one with
    // this fingerprint: the caller compares the bytes.
    template <class Found> void lookUp(std::uint64_t print, Found&& found) const {
        const auto tag = static_cast<std::uint32_t>(print >> 32);
        for (std::size_t at = slotOf(print);; at = (at + 1) & (slots_.size() - 1)) {
            const std::uint64_t slot = slots_[at];
            if (slot == 0)
                return;
            if (static_cast<std::uint32_t>(slot >> 32) == tag) {
                const auto id = static_cast<std::uint32_t>(slot) - 1;
                const auto part = static_cast<std::size_t>(
                    std::upper_bound(partBase_.begin(), partBase_.end(), id) - partBase_.begin() -
                    1);
                found(std::size_t{partNeedle_[part]},
                      partFrom_[part] + (id - partBase_[part]) * GramIndex::indexStep);
            }
        }
    }

private:
    [[nodiscard]] std::size_t slotOf(std::uint64_t print) const {
        return static_cast<std::size_t>((print * GramIndex::fibonacciMultiplier) >>
                                        (64 - slotBits_));
    }
    [[nodiscard]] std::size_t presenceBitOf(std::uint64_t print) const {
        return static_cast<std::size_t>((print * GramIndex::presenceMultiplier) >>
                                        (64 - presenceBits_));
    }
    void buildTable(std::span<const Bytes> needles, std::span<const IndexedPart> parts);

    PlanLimits limits_;
    std::size_t windowBytes_ = 0;
    GramPrint print_;
    std::size_t boundBytes_ = 0;
    SamplingPlan plan_;
    std::vector<std::uint8_t> sampled_;
    std::vector<std::uint8_t> bounding_;
    std::vector<std::size_t> lag_;
    // A slot holds the fingerprint's high half and 1 + an entry's number (0: empty). Entries are
    // numbered part after part, each part's from partBase_ on: nothing else is kept per entry.
    unsigned slotBits_ = 1;
    std::vector<std::uint64_t> slots_;
    std::vector<std::uint32_t> partBase_;
    std::vector<std::uint32_t> partNeedle_;
    std::vector<std::size_t> partFrom_;
    unsigned presenceBits_ = 6;
    std::vector<std::uint64_t> presence_;
};

// A batch's sampling: its needles in groups whose own spacings are alike, each group sampled on
// its own, so that the batch costs about what its hardest member costs alone. Needles in no
// group are scanned.
std::vector<SharedSampling> planGroups(std::span<const Bytes> needles);

} // namespace dyeloom::search_stages
