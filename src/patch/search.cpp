// Finding the first occurrence of a long byte string (a texture's data, kilobytes to megabytes)
// in a much longer one (an archive, up to gigabytes), in time linear in the archive on any input
// and far below it on ordinary data.
//
// Three stages, each handing the hard parts to the next:
//  1. Sampling (SampledSearch) looks at the archive only in small blocks spaced nearly a needle
//     length apart, and looks their q-grams up in an index of the needle's informative q-grams.
//  2. Rare byte (RareByteSearch): where sampling meets repetitive data and candidates pile up,
//     memchr jumps between hits of the needle's rarest byte.
//  3. Two-Way (two_way.cpp) takes over wherever verifying rare-byte hits costs too much.
// Every stage reports the lowest matching offset of the candidates it settles, and sampling
// goes on until nothing lower can turn up, so the result is always the first occurrence.
#include "search.hpp"

#include "search_stages.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <map>
#include <queue>
#include <tuple>
#include <utility>

namespace dyeloom {
namespace search_stages {
namespace {

// Gram lengths tried in turn. 128 bytes make nearly every gram of texture data occur once, even
// in data of two byte values or among repeated blocks, so the spacing comes near the needle's
// length. A gram that occurs once still does when lengthened, and is still no short repetition,
// so longer grams are informative wherever shorter ones are; they only fit at fewer entries
// (15 fewer for 128 bytes than for 8), which counts in needles shorter than shortNeedleBytes,
// and only those try the shorter grams.
constexpr std::size_t gramLengths[] = {128, 32, 8};
constexpr std::size_t shortNeedleBytes = 16 << 10;
// Only a MiB of the needle is indexed: a spacing of up to a MiB already makes the samples few
// (about a thousand per GiB), and the index stays near 4 MiB whatever the texture's size.
constexpr std::size_t indexedNeedleBytes = std::size_t{1} << 20;
// A batch indexes at most this much of all its needles together: its table costs about three
// bytes per byte indexed, so it stays near 24 MiB for any number of needles. The shared spacing
// is bounded by the smallest part indexed, so a large batch indexes little of each needle
// without sampling more densely than its smallest needle makes it anyway; below
// minIndexedBytes a part would bound the spacing more than most needles do.
constexpr std::size_t indexBudgetBytes = std::size_t{16} << 20;
constexpr std::size_t minIndexedBytes = std::size_t{8} << 10;
// A batch's table holds at most one entry a class of each needle: this many entries in all
// (32 MiB of slots, half of them taken) bound each needle's spacing, but never below
// minSpacingLimit entries (a scan's worth of sampling).
constexpr std::size_t tableBudgetEntries = std::size_t{2} << 20;
constexpr std::size_t minSpacingLimit = 64;
// A needle whose own spacing from its part of a batch is under an eighth of the part is plain
// there (transparent rows, flat colour): it gets a MiB indexed, while the budget lasts, if that
// samples it more sparsely.
constexpr std::size_t poorSpacingDivisor = 8;
// Larger parts for plain needles cost their indexing time (about 10 ms a MiB) but little memory:
// the table keeps one entry a class. This much in all: 0.3 s at most.
constexpr std::size_t plainPartBudgetBytes = std::size_t{32} << 20;
// A page: samples this far apart or less touch every page of the haystack.
constexpr std::size_t pageBytes = 4096;
// Which MiB: the one of these, spread over the needle, with the fewest grams that are short
// repetitions, judged at this many positions each. A texture's first rows are often sky or a
// transparent field, which would make the blocks of samples long; the check costs a tenth of a
// millisecond.
constexpr std::size_t indexedWindowsTried = 8;
constexpr std::size_t windowProbes = 2048;
// A gram length whose plan has blocks at least this fraction of the entries apart is taken
// without trying the others: a quarter of the needle apart already makes the samples few.
constexpr std::size_t goodSpacingDivisor = 4;
// Sampling is given up for RareByteSearch when blocks would start less than this far apart:
// a memchr scan then reads about as much and costs less per byte.
constexpr std::size_t minSpacingBytes = 256;
// Spacings tried, as the number of entries divided by these, widest first, each but the first
// made odd: an even spacing would line classes up with the power-of-two row lengths of texture
// data, where a transparent margin can fill a whole class. Each try is a pass over the entries;
// finer steps would add little spacing for their cost.
constexpr std::size_t spacingDivisors[] = {1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 48, 64};
// Blocks of samples stay within 256 entries' worth (2 KiB of samples), so that a block is one
// or two pages and one positioned read.
constexpr std::size_t maxBlockEntries = 256;
// Blocks look at no more than an eighth of the haystack: past that, a memchr scan of all of it
// (RareByteSearch) costs less than the lookups.
constexpr std::size_t maxSampledShare = 8;
// A block whose failed verifications cost more than this many times the spacing is hard: its
// stretch is handed to RareByteSearch, which bounds the cost per byte on any data.
constexpr std::size_t verifyBudgetFactor = 4;
// A hard stretch doubles while it stays hard, up to this many blocks, so that long repetitive
// regions cost few hand-overs but one hard block does not send a whole archive to the fallback.
constexpr std::size_t maxHandOverBlocks = 256;
// A candidate is first compared this far on each side of the gram that proposed it: those bytes
// are on the sample's page, most likely cached, and most false candidates fail there.
constexpr std::size_t aroundBytes = 64;
// Blocks announced to the read-ahead at a time: enough reads in flight together to keep a disk
// busy (64 and 128 were equally fast here, 16 a tenth slower, on a cold 1 GiB archive), few
// enough that the announced pages are still cached when the blocks are reached.
constexpr std::size_t announcedBlocks = 64;
// The haystack's bytes are counted in this many pieces of this size, spread over it, to choose
// the anchor of each needle that is scanned: a few pages' reads, against a pass over all of it.
constexpr std::size_t anchorSamplePieces = 16;
constexpr std::size_t anchorSampleBytes = 16 << 10;
// Needles scanned together take the stretch in chunks of this size, each scanned by all of them
// in turn while it stays in the processor's second-level cache (2 MiB a core here).
constexpr std::size_t scanChunkBytes = std::size_t{512} << 10;
// A block's bytes are asked of the processor this many blocks ahead of its lookups, so that
// memory has answered when they begin: a mod of 100 textures on 1 GiB, warm, took 0.62 s
// without, 0.39 s one block ahead, and no less four blocks ahead.
constexpr std::size_t prefetchedBlocksAhead = 1;
// RareByteSearch hands over to Two-Way once its verifying has cost more than
// rareByteCostFactor times the bytes it has covered, plus rareByteCostFactor needle lengths and
// rareByteCostSlack bytes of grace. Two-Way costs about two byte comparisons per byte, memchr
// far less, so verifying that stays within a few times the span is still the faster path.
constexpr std::size_t rareByteCostFactor = 4;
constexpr std::size_t rareByteCostSlack = 256;
// Verifying rare-byte hits compares this many leading bytes first.
constexpr std::size_t verifyHeadBytes = 32;
// Presence bits per informative entry: an eighth of the lookups that find nothing still probe.
constexpr std::size_t presenceBitsPerEntry = 8;

// A run of one byte, or a repeated 2-, 4- or 8-byte pattern: what blank areas, flat colours and
// repeated compressed blocks look like.
bool isShortRepetition(const std::uint8_t* gram, std::size_t gramBytes) {
    for (const std::size_t period : {1, 2, 4, 8})
        if (period < gramBytes && gram[0] == gram[period] &&
            std::memcmp(gram, gram + period, gramBytes - period) == 0)
            return true;
    return false;
}

void announceOne(HaystackReader* reader, Bytes part) {
    if (reader != nullptr)
        reader->willRead(std::span(&part, 1));
}

// The part of `needle` to index: the window of `windowBytes` whose grams are least often short
// repetitions, the earliest of equals (its blocks then lag least behind a candidate).
std::size_t indexedWindowStart(Bytes needle, std::size_t windowBytes) {
    if (needle.size() <= windowBytes)
        return 0;
    const std::size_t room = needle.size() - windowBytes;
    const std::size_t probeStep = std::max<std::size_t>(windowBytes / windowProbes, 8);
    constexpr std::size_t probedGram = 128;
    std::size_t best = 0, bestScore = 0;
    for (std::size_t window = 0; window < indexedWindowsTried; ++window) {
        const std::size_t start = room / (indexedWindowsTried - 1) * window / 8 * 8;
        std::size_t score = 0;
        for (std::size_t at = start; at + probedGram <= start + windowBytes; at += probeStep)
            score += isShortRepetition(needle.data() + at, probedGram) ? 0 : 1;
        if (score > bestScore) {
            best = start;
            bestScore = score;
        }
    }
    return best;
}

} // namespace

RareByteSearch::RareByte RareByteSearch::findRareByte(Bytes needle,
                                                      const ByteCounts* haystackCounts) {
    std::array<std::size_t, 256> count{};
    for (const std::uint8_t byte : needle)
        ++count[byte];
    // Without a sample of the haystack, bytes that fill padding and blank pixels are taken for
    // poor anchors in archives even when rare in the needle: they lose ties.
    const auto common = [](unsigned byte) { return byte == 0x00 || byte == 0xFF; };
    const auto rarer = [&](unsigned a, unsigned b) {
        if (haystackCounts != nullptr && (*haystackCounts)[a] != (*haystackCounts)[b])
            return (*haystackCounts)[a] < (*haystackCounts)[b];
        return count[a] < count[b] || (count[a] == count[b] && common(b) && !common(a));
    };
    unsigned best = needle[0];
    for (unsigned byte = 0; byte < 256; ++byte)
        if (count[byte] != 0 && rarer(byte, best))
            best = byte;
    const auto at = std::find(needle.begin(), needle.end(), static_cast<std::uint8_t>(best));
    return {static_cast<std::size_t>(at - needle.begin()), static_cast<std::uint8_t>(best)};
}

std::optional<std::size_t> RareByteSearch::find(Bytes haystack, Stretch stretch,
                                                HaystackReader* reader) {
    if (!rare_)
        rare_ = findRareByte(needle_);
    // The whole stretch is read from start to end.
    announceOne(reader,
                haystack.subspan(stretch.first, stretch.last - stretch.first + needle_.size()));
    std::size_t cost = 0;
    for (std::size_t offset = stretch.first; offset <= stretch.last; ++offset) {
        const std::uint8_t* from = haystack.data() + offset + rare_->index;
        const auto* hit = static_cast<const std::uint8_t*>(
            std::memchr(from, rare_->value, stretch.last - offset + 1));
        if (hit == nullptr)
            return std::nullopt;
        offset = static_cast<std::size_t>(hit - haystack.data()) - rare_->index;
        const std::size_t head = std::min(needle_.size(), verifyHeadBytes);
        const bool headMatches = std::memcmp(haystack.data() + offset, needle_.data(), head) == 0;
        cost += headMatches ? needle_.size() : head;
        if (headMatches &&
            std::memcmp(haystack.data() + offset, needle_.data(), needle_.size()) == 0)
            return offset;
        const std::size_t covered = offset - stretch.first;
        if (cost > rareByteCostFactor * (covered + needle_.size()) + rareByteCostSlack)
            return findLinear(haystack, {offset + 1, stretch.last});
    }
    return std::nullopt;
}

std::optional<std::size_t> RareByteSearch::findLinear(Bytes haystack, Stretch stretch) {
    if (stretch.first > stretch.last)
        return std::nullopt;
    if (!twoWay_)
        twoWay_ = std::make_unique<TwoWay>(needle_);
    const Bytes part =
        haystack.subspan(stretch.first, stretch.last - stretch.first + needle_.size());
    const auto found = twoWay_->find(part);
    return found ? std::optional<std::size_t>(stretch.first + *found) : std::nullopt;
}

GramIndex::GramIndex(Bytes needlePart, std::size_t gramBytes)
    : needlePart_(needlePart), print_(gramBytes) {
    const std::size_t entries = (needlePart.size() - gramBytes) / indexStep + 1;
    // At most three slots in four taken: probes stay short, and the table small.
    while ((std::size_t{3} << slotBits_) < 4 * entries)
        ++slotBits_;
    slots_.assign(std::size_t{1} << slotBits_, 0);
    while ((std::size_t{1} << presenceBits_) < presenceBitsPerEntry * entries)
        ++presenceBits_;
    presence_.assign((std::size_t{1} << presenceBits_) / 64, 0);
    std::uint64_t print = fingerprint(needlePart.data());
    for (std::size_t entry = 0; entry < entries; ++entry) {
        const std::uint8_t* gram = needlePart.data() + entry * indexStep;
        if (entry > 0)
            print = nextFingerprint(print, gram - indexStep);
        const std::uint32_t tag = tagOf(print);
        for (std::size_t at = slotOf(print);; at = (at + 1) & (slots_.size() - 1)) {
            std::uint32_t& slot = slots_[at];
            if (slot == 0) {
                const bool repetition = isShortRepetition(gram, gramBytes);
                slot =
                    static_cast<std::uint32_t>(entry + 1) | tag | (repetition ? repeatedFlag : 0);
                // Set for a gram that later turns out repeated too: that costs only a probe.
                if (!repetition) {
                    const std::size_t bit = presenceBitOf(print);
                    presence_[bit / 64] |= std::uint64_t{1} << (bit % 64);
                }
                break;
            }
            if ((slot & tagMask) == tag && sameGram(gramOf(slot), gram)) {
                slot |= repeatedFlag;
                break;
            }
        }
    }
    informative_.assign(entries, 0);
    for (const std::uint32_t slot : slots_)
        if (slot != 0 && (slot & repeatedFlag) == 0)
            informative_[(slot & entryMask) - 1] = 1;
}

GramPrint::GramPrint(std::size_t gramBytes) : gramBytes_(gramBytes) {
    for (std::size_t word = 1; word < gramBytes / 8; ++word)
        powers_[word] = powers_[word - 1] * multiplier;
    leadingPower_ = powers_[gramBytes / 8 - 1];
}

std::uint64_t GramPrint::of(const std::uint8_t* gram) const {
    const std::size_t words = gramBytes_ / 8;
    std::uint64_t print = 0;
    for (std::size_t word = 0; word < words; ++word)
        print += load64(gram + 8 * word) * powers_[words - 1 - word];
    return print;
}

std::size_t GramIndex::slotOf(std::uint64_t fingerprint) const {
    return static_cast<std::size_t>((fingerprint * fibonacciMultiplier) >> (64 - slotBits_));
}

bool GramIndex::sameGram(const std::uint8_t* a, const std::uint8_t* b) const {
    // The first word settles nearly every comparison without a call.
    return load64(a) == load64(b) && std::memcmp(a + 8, b + 8, gramBytes() - 8) == 0;
}

const std::uint8_t* GramIndex::gramOf(std::uint32_t slot) const {
    return needlePart_.data() + ((slot & entryMask) - 1) * indexStep;
}

std::uint32_t GramIndex::tagOf(std::uint64_t fingerprint) {
    // Bits the slot's position does not already fix (it comes from the product's top bits).
    return static_cast<std::uint32_t>(fingerprint * fibonacciMultiplier) & tagMask;
}

std::optional<std::size_t> GramIndex::find(std::uint64_t fingerprint,
                                           const std::uint8_t* gram) const {
    if (!mayHold(fingerprint))
        return std::nullopt;
    const std::uint32_t tag = tagOf(fingerprint);
    for (std::size_t at = slotOf(fingerprint);; at = (at + 1) & (slots_.size() - 1)) {
        const std::uint32_t slot = slots_[at];
        if (slot == 0)
            return std::nullopt;
        if ((slot & tagMask) == tag && sameGram(gramOf(slot), gram)) {
            if (slot & repeatedFlag)
                return std::nullopt;
            return (slot & entryMask) - 1;
        }
    }
}

// The plan with blocks `spacing` entries apart: the first informative entry of each class, and
// the longest run of classes (around the end and back) that have none.
std::optional<SamplingPlan> planWithSpacing(std::span<const std::uint8_t> informative,
                                            std::size_t spacing) {
    constexpr auto none = std::numeric_limits<std::size_t>::max();
    // The first informative entry of class c is the first at c, c + spacing, ...: a class
    // without one in the first round has none later only if all its entries are repeated.
    std::size_t longestGap = 0, lastFirst = 0, firstGap = none, gap = 0;
    for (std::size_t inClass = 0; inClass < spacing; ++inClass) {
        std::size_t first = none;
        for (std::size_t entry = inClass; entry < informative.size(); entry += spacing)
            if (informative[entry] != 0) {
                first = entry;
                break;
            }
        if (first == none) {
            ++gap;
        } else {
            if (firstGap == none)
                firstGap = gap;
            longestGap = std::max(longestGap, gap);
            gap = 0;
            lastFirst = std::max(lastFirst, first);
        }
        if (longestGap >= std::min(spacing, maxBlockEntries))
            return std::nullopt;
    }
    if (firstGap == none)
        return std::nullopt;
    longestGap = std::max(longestGap, gap + firstGap); // the run around the end and back
    if (longestGap >= std::min(spacing, maxBlockEntries) ||
        (longestGap + 1) * maxSampledShare > spacing)
        return std::nullopt;
    return SamplingPlan{spacing, longestGap + 1, (lastFirst + 1) * GramIndex::indexStep};
}

bool cheaper(const SamplingPlan& a, const SamplingPlan& b, std::size_t blockCost) {
    const auto perBlock = [&](const SamplingPlan& plan) {
        return blockCost + plan.blockEntries * GramIndex::indexStep;
    };
    return perBlock(a) * b.spacingEntries < perBlock(b) * a.spacingEntries;
}

namespace {

std::size_t informativeCount(std::span<const std::uint8_t> flags) {
    return static_cast<std::size_t>(std::count(flags.begin(), flags.end(), std::uint8_t{1}));
}

// The spacings tried for needles of `entries` entries, widest first.
std::size_t spacingFor(std::size_t entries, std::size_t divisor) {
    return divisor == 1 ? entries : (entries / divisor) | 1;
}

// What a block of one plan costs, in lookups.
SamplingPlan oneEntryBlocks(std::size_t spacing) {
    return {spacing, 1, 0};
}

// The cheapest spacing that meets every candidate of every needle in `planned`, and the plan
// and lag each needle then has; nothing if no spacing tried suits them all.
struct SharedPlan {
    SamplingPlan plan;
    std::vector<std::size_t> lags; // of planned needles, in order
};

std::optional<SharedPlan> planShared(const std::vector<IndexedPart>& planned,
                                     const PlanLimits& limits) {
    const std::size_t blockCost = limits.blockCost;
    std::size_t fewest = std::numeric_limits<std::size_t>::max();
    for (const IndexedPart& part : planned)
        fewest = std::min(fewest, part.informative.size());
    std::vector<std::size_t> informative;
    for (const IndexedPart& part : planned)
        informative.push_back(informativeCount(part.informative));
    std::optional<SharedPlan> best;
    SharedPlan trial;
    // The spacings tried, widest first, none over the limit (which is tried in their place).
    std::vector<std::size_t> spacings;
    for (const std::size_t divisor : spacingDivisors) {
        const std::size_t spacing =
            std::min(spacingFor(fewest, divisor), limits.maxSpacingEntries | 1);
        if (spacings.empty() || spacing < spacings.back())
            spacings.push_back(spacing);
    }
    for (const std::size_t spacing : spacings) {
        // Spacings are tried widest first: once even one-entry blocks at this one would cost
        // more than the best plan, so would every narrower one.
        if (spacing == 0 || (best && !cheaper(oneEntryBlocks(spacing), best->plan, blockCost)))
            break;
        trial = {oneEntryBlocks(spacing), {}};
        bool suits = true;
        for (std::size_t i = 0; i < planned.size() && suits; ++i) {
            // Each run of blockEntries classes needs an informative entry of its own.
            const auto plan = spacing > informative[i] * maxBlockEntries
                                  ? std::nullopt
                                  : planWithSpacing(planned[i].informative, spacing);
            suits = plan.has_value();
            if (suits) {
                trial.plan.blockEntries = std::max(trial.plan.blockEntries, plan->blockEntries);
                trial.lags.push_back(plan->lagBytes);
            }
        }
        if (suits && (!best || cheaper(trial.plan, best->plan, blockCost)))
            best = trial;
    }
    return best;
}

// The needles that no spacing of planShared's suits: those that fail at the narrowest one.
std::vector<std::size_t> unsuited(const std::vector<IndexedPart>& planned,
                                  const PlanLimits& limits) {
    std::size_t fewest = std::numeric_limits<std::size_t>::max();
    for (const IndexedPart& part : planned)
        fewest = std::min(fewest, part.informative.size());
    const std::size_t spacing =
        std::min(spacingFor(fewest, spacingDivisors[std::size(spacingDivisors) - 1]),
                 limits.maxSpacingEntries | 1);
    std::vector<std::size_t> failing;
    for (std::size_t i = 0; i < planned.size(); ++i)
        if (!planWithSpacing(planned[i].informative, std::max<std::size_t>(spacing, 1)))
            failing.push_back(i);
    return failing;
}

} // namespace

std::optional<SamplingPlan> planSampling(const GramIndex& index, const PlanLimits& limits) {
    std::vector<IndexedPart> one(1);
    one[0].informative.assign(index.informativeFlags().begin(), index.informativeFlags().end());
    const auto shared = planShared(one, limits);
    return shared ? std::optional<SamplingPlan>(shared->plan) : std::nullopt;
}

// What the constructor settles on: the gram length, the plan, and the needles it samples with
// their indexed parts' starts and lags.
SharedSampling::SharedSampling(std::span<const Bytes> needles, std::vector<IndexedPart> parts,
                               std::size_t gramBytes, std::size_t windowBytes,
                               const PlanLimits& limits)
    : limits_(limits), windowBytes_(windowBytes), print_(gramBytes), sampled_(needles.size(), 0),
      bounding_(needles.size(), 0), lag_(needles.size(), 0) {
    // A needle that no shared spacing suits is left to the scan.
    auto shared = parts.empty() ? std::nullopt : planShared(parts, limits);
    while (!parts.empty() && !shared) {
        const auto failing = unsuited(parts, limits);
        if (failing.empty())
            break;
        for (auto at = failing.rbegin(); at != failing.rend(); ++at)
            parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(*at));
        shared = parts.empty() ? std::nullopt : planShared(parts, limits);
    }
    if (!shared || shared->plan.spacingEntries * GramIndex::indexStep < minSpacingBytes)
        return;
    plan_ = shared->plan;
    std::size_t fewest = std::numeric_limits<std::size_t>::max();
    for (const IndexedPart& part : parts)
        fewest = std::min(fewest, part.informative.size());
    boundBytes_ = fewest * GramIndex::indexStep;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const std::size_t i = parts[k].needle;
        sampled_[i] = 1;
        bounding_[i] = parts[k].informative.size() == fewest ? 1 : 0;
        // A candidate meets the index's grams this much further on.
        lag_[i] = shared->lags[k] + parts[k].from;
    }
    buildTable(needles, parts);
}

namespace {

// A needle's own plan, as if it were searched for alone with `windowBytes` of it indexed.
struct OwnPlan {
    std::size_t gramBytes = 0;
    std::size_t spacingBytes = 0;
    std::size_t blockEntries = 0;
    IndexedPart part; // at that gram length, for the group to plan with
};

std::optional<OwnPlan> ownPlan(Bytes needle, std::size_t i, std::size_t windowBytes,
                               const PlanLimits& limits) {
    const std::size_t from = indexedWindowStart(needle, windowBytes);
    const Bytes part = needle.subspan(from, std::min(needle.size() - from, windowBytes));
    std::optional<OwnPlan> best;
    for (const std::size_t gramBytes : gramLengths) {
        if (part.size() < gramBytes + GramIndex::indexStep)
            continue;
        const GramIndex index(part, gramBytes);
        const auto plan = planSampling(index, limits);
        if (plan &&
            (!best ||
             cheaper(*plan, {best->spacingBytes / GramIndex::indexStep, best->blockEntries, 0},
                     limits.blockCost)))
            best = OwnPlan{gramBytes,
                           plan->spacingEntries * GramIndex::indexStep,
                           plan->blockEntries,
                           {i, from,
                            std::vector<std::uint8_t>(index.informativeFlags().begin(),
                                                      index.informativeFlags().end())}};
        // A quarter of the entries apart already makes the samples few; longer needles try
        // only the longest grams, which fit nearly as many entries.
        if ((best &&
             goodSpacingDivisor * best->spacingBytes >= index.entries() * GramIndex::indexStep) ||
            part.size() >= shortNeedleBytes)
            break;
    }
    if (!best || best->spacingBytes < minSpacingBytes)
        return std::nullopt;
    return best;
}

// A needle's own plan again at another cost of a block, from the part already indexed.
void replanAt(OwnPlan& own, const PlanLimits& limits) {
    const auto plan = planShared(std::vector<IndexedPart>{own.part}, limits);
    if (plan && plan->plan.spacingEntries * GramIndex::indexStep >= minSpacingBytes) {
        own.spacingBytes = plan->plan.spacingEntries * GramIndex::indexStep;
        own.blockEntries = plan->plan.blockEntries;
    }
}

// Each needle's own plan from a part of `window` bytes, and whether the whole haystack is read
// whatever the batch samples (a needle is scanned, or samples so densely that every page is
// touched): blocks then cost no page reads of their own, and the plans are made for that.
std::vector<std::optional<OwnPlan>> ownPlans(std::span<const Bytes> needles, std::size_t window,
                                             PlanLimits& limits) {
    std::vector<std::optional<OwnPlan>> own(needles.size());
    bool everyPageRead = false;
    for (std::size_t i = 0; i < needles.size(); ++i) {
        if (needles[i].empty())
            continue;
        if (needles[i].size() >= SharedSampling::minNeedle)
            own[i] = ownPlan(needles[i], i, window, limits);
        everyPageRead = everyPageRead || !own[i] || own[i]->spacingBytes <= pageBytes;
    }
    if (everyPageRead) {
        limits.blockCost = readBlockCost;
        for (auto& plan : own)
            if (plan)
                replanAt(*plan, limits);
    }
    return own;
}

// A needle too plain to sample well from a small part may sample better from a larger one,
// within a budget of its own: otherwise its samples, or a scan, make it the batch's hardest
// member. Those that would be scanned come first, then the most densely sampled; each part grows
// four times at a step until the needle samples no more densely than its part allows. Returns
// the part's size each needle is planned with.
std::vector<std::size_t> widenPlainParts(std::span<const Bytes> needles, std::size_t window,
                                         const PlanLimits& limits,
                                         std::vector<std::optional<OwnPlan>>& own) {
    std::vector<std::size_t> used(needles.size(), window);
    if (window >= indexedNeedleBytes)
        return used;
    // Plain: no plan, or one denser than the part allows and than the limit makes it anyway.
    const std::size_t limitBytes = limits.maxSpacingEntries * GramIndex::indexStep / 2;
    const auto plain = [&](std::size_t i, std::size_t part) {
        return !own[i] || (own[i]->spacingBytes * poorSpacingDivisor < part &&
                           own[i]->spacingBytes < limitBytes);
    };
    std::vector<std::size_t> poor;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (needles[i].size() > window && plain(i, window))
            poor.push_back(i);
    std::sort(poor.begin(), poor.end(), [&](std::size_t a, std::size_t b) {
        const std::size_t none = 0;
        return (own[a] ? own[a]->spacingBytes : none) < (own[b] ? own[b]->spacingBytes : none);
    });
    std::size_t budget = plainPartBudgetBytes;
    for (const std::size_t i : poor) {
        for (std::size_t wider = std::min(window * 4, indexedNeedleBytes);
             budget >= wider - used[i]; wider = std::min(wider * 4, indexedNeedleBytes)) {
            auto wide = ownPlan(needles[i], i, wider, limits);
            if (wide && (!own[i] || wide->spacingBytes > own[i]->spacingBytes)) {
                budget -= wider - used[i];
                own[i] = std::move(wide);
                used[i] = wider;
            }
            if (!plain(i, wider) || wider >= std::min(needles[i].size(), indexedNeedleBytes))
                break;
        }
    }
    return used;
}

} // namespace

std::vector<SharedSampling> planGroups(std::span<const Bytes> needles) {
    std::size_t count = 0;
    for (const Bytes needle : needles)
        count += needle.size() >= SharedSampling::minNeedle ? 1 : 0;
    const std::size_t window = SharedSampling::windowFor(count);
    PlanLimits limits{uncachedBlockCost, SharedSampling::maxSpacingFor(count)};
    auto own = ownPlans(needles, window, limits);
    const auto used = widenPlainParts(needles, window, limits, own);
    // Needles whose own plans are alike (spacings and blocks within a factor of four) share a
    // group: a group samples at its smallest spacing with its longest blocks, and one plain
    // texture must not make a whole mod's samples dense.
    using Key = std::tuple<std::size_t, std::size_t, int, int>; // part, gram, spacing, block
    std::map<Key, std::vector<IndexedPart>> groups;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (own[i])
            groups[{used[i], own[i]->gramBytes, std::bit_width(own[i]->spacingBytes) / 2,
                    std::bit_width(own[i]->blockEntries) / 2}]
                .push_back(std::move(own[i]->part));
    std::vector<SharedSampling> planned;
    for (auto& [key, parts] : groups) {
        SharedSampling sampling(needles, std::move(parts), std::get<1>(key), std::get<0>(key),
                                limits);
        // A group no shared spacing suits leaves its needles to the scan.
        if (sampling.samplesAny())
            planned.push_back(std::move(sampling));
    }
    return planned;
}

IndexedPart indexPart(Bytes needle, std::size_t i, std::size_t windowBytes, std::size_t gramBytes) {
    const std::size_t from = indexedWindowStart(needle, windowBytes);
    const GramIndex index(needle.subspan(from, std::min(needle.size() - from, windowBytes)),
                          gramBytes);
    return {i, from,
            std::vector<std::uint8_t>(index.informativeFlags().begin(),
                                      index.informativeFlags().end())};
}

std::size_t SharedSampling::maxSpacingFor(std::size_t needles) {
    return std::max(tableBudgetEntries / std::max<std::size_t>(needles, 1), minSpacingLimit);
}

std::size_t SharedSampling::windowFor(std::size_t needles) {
    // The parts indexed share one budget, so that the table stays small however many needles
    // there are; the shared spacing is bounded by the smallest part in any case.
    return std::clamp(indexBudgetBytes / std::max<std::size_t>(needles, 1), minIndexedBytes,
                      indexedNeedleBytes);
}

void SharedSampling::buildTable(std::span<const Bytes> needles,
                                std::span<const IndexedPart> parts) {
    // A candidate is met by every entry of the runs of classes its blocks cover, in one block or
    // another; the plan makes sure each run holds a class whose first entry is informative.
    // Those first entries are all the table needs: at most one a class.
    const std::size_t spacing = plan_.spacingEntries;
    std::vector<std::vector<std::uint8_t>> kept;
    std::size_t entries = 0;
    for (const IndexedPart& part : parts) {
        std::vector<std::uint8_t> first(part.informative.size(), 0);
        for (std::size_t inClass = 0; inClass < spacing; ++inClass)
            for (std::size_t entry = inClass; entry < first.size(); entry += spacing)
                if (part.informative[entry] != 0) {
                    first[entry] = 1;
                    ++entries;
                    break;
                }
        kept.push_back(std::move(first));
    }
    // At most half the slots taken: a lookup that finds nothing, the common case, stops soon.
    while ((std::size_t{1} << slotBits_) < 2 * entries)
        ++slotBits_;
    slots_.assign(std::size_t{1} << slotBits_, 0);
    while ((std::size_t{1} << presenceBits_) < presenceBitsPerEntry * entries)
        ++presenceBits_;
    presence_.assign((std::size_t{1} << presenceBits_) / 64, 0);
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
                print = nextFingerprint(print, bytes + (entry - 1) * GramIndex::indexStep);
            if (kept[k][entry] == 0)
                continue;
            std::size_t at = slotOf(print);
            while (slots_[at] != 0)
                at = (at + 1) & (slots_.size() - 1);
            slots_[at] = (print >> 32 << 32) | (std::uint64_t{id} + 1);
            const std::size_t bit = presenceBitOf(print);
            presence_[bit / 64] |= std::uint64_t{1} << (bit % 64);
        }
    }
}

} // namespace search_stages

// The stages and their constants.
using namespace search_stages;

struct MultiSearch::Impl {
    struct Needle {
        explicit Needle(Bytes of) : bytes(of), scan(of) {}
        Bytes bytes;
        RareByteSearch scan; // for a needle not sampled, and for hard stretches of one that is
        std::size_t partner = noPartner;
        std::size_t last = 0; // its last candidate offset in the haystack
        bool done = false;
        std::optional<std::size_t> result;
        // A sampled needle's state in the stretch under way: every candidate below `open` is
        // settled, `best` is the lowest match so far, and past `limit` no block meets a
        // candidate that could still be lower.
        bool inStretch = false;
        std::size_t open = 0, stretchLast = 0, limit = 0, handOverBlocks = 1;
        std::optional<std::size_t> best;
    };
    struct Candidate {
        std::size_t needle;
        std::size_t offset;
        std::size_t needlePos; // where in the needle the gram that proposed it sits
    };
    using SettlePoint = std::pair<std::size_t, std::size_t>; // a needle's limit, the needle

    Impl(std::span<const Bytes> all, std::span<const std::size_t> partners)
        : groups(planGroups(all)), dependents(all.size()) {
        needles.reserve(all.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            needles.emplace_back(all[i]);
            if (!partners.empty() && partners[i] != noPartner) {
                needles[i].partner = partners[i];
                dependents[partners[i]].push_back(i);
            }
        }
        assignGroups();
    }

    void assignGroups() {
        replanGroup.assign(groups.size(), 0);
        groupOf.assign(needles.size(), noGroup);
        members.assign(groups.size(), {});
        for (std::size_t g = 0; g < groups.size(); ++g)
            for (std::size_t i = 0; i < needles.size(); ++i)
                if (groups[g].samples(i)) {
                    groupOf[i] = g;
                    members[g].push_back(i);
                }
    }

    // How many of a group's needles that bound its spacing are still looked for.
    std::size_t countBounding(std::size_t g) const {
        std::size_t count = 0;
        for (const std::size_t i : members[g])
            count += !needles[i].done && groups[g].bounds(i) ? 1 : 0;
        return count;
    }

    // What the groups still under way read together, as one plan for the reader: their blocks
    // per byte add up, so the spacing is that of all their blocks interleaved, each as long as
    // the longest. A needle being scanned reads every byte.
    SearchGeometry geometry() const noexcept {
        SearchGeometry geometry;
        std::vector<std::uint8_t> active(groups.size(), 0);
        bool scanned = false;
        for (std::size_t i = 0; i < needles.size(); ++i) {
            if (needles[i].done)
                continue;
            geometry.needleBytes = std::max(geometry.needleBytes, needles[i].bytes.size());
            if (groupOf[i] == noGroup)
                scanned = true;
            else
                active[groupOf[i]] = 1;
        }
        double blocksPerByte = 0;
        for (std::size_t g = 0; g < groups.size(); ++g)
            if (active[g] != 0) {
                blocksPerByte += 1.0 / static_cast<double>(groups[g].spacingBytes());
                geometry.blockBytes = std::max(geometry.blockBytes, groups[g].blockSamples() +
                                                                        groups[g].gramBytes() - 1);
            }
        if (scanned || blocksPerByte == 0)
            return {geometry.needleBytes, 0, 0};
        geometry.spacingBytes =
            std::max<std::size_t>(static_cast<std::size_t>(1.0 / blocksPerByte), 1);
        return geometry;
    }

    std::vector<std::optional<std::size_t>> findAll(Bytes hay, HaystackReader* with,
                                                    const SearchProgress& progress) {
        haystack = hay;
        reader = with;
        left = found = 0;
        if (replanned) { // for needles that another haystack found
            std::vector<Bytes> all;
            for (const Needle& needle : needles)
                all.push_back(needle.bytes);
            groups = planGroups(all);
            assignGroups();
            replanned = false;
        }
        sampleable = 0;
        for (Needle& needle : needles) {
            needle.done = needle.bytes.empty() || needle.bytes.size() > haystack.size();
            needle.result.reset();
            needle.inStretch = false;
            needle.last = needle.done ? 0 : haystack.size() - needle.bytes.size();
            left += needle.done ? 0 : 1;
            sampleable += !needle.done && needle.bytes.size() >= SharedSampling::minNeedle ? 1 : 0;
        }
        boundingLeft.resize(groups.size());
        for (std::size_t g = 0; g < groups.size(); ++g)
            boundingLeft[g] = countBounding(g);
        anchorScansIn(haystack);
        for (std::size_t from = 0; left > 0;) {
            std::size_t lastOfAll = 0;
            for (const Needle& needle : needles)
                lastOfAll = needle.done ? lastOfAll : std::max(lastOfAll, needle.last);
            if (from > lastOfAll)
                break;
            // Stretch by stretch, as the reader plans them: each is settled for every needle
            // before the next begins, so the first match found of each is its first occurrence.
            const std::size_t candidates =
                reader == nullptr ? lastOfAll - from + 1
                                  : std::max<std::size_t>(reader->nextStretch(from, geometry()), 1);
            const std::size_t to =
                lastOfAll - from < candidates ? lastOfAll : from + candidates - 1;
            searchStretch(from, to);
            from = to + 1;
            for (std::size_t g = 0; g < groups.size(); ++g)
                if (replanGroup[g] != 0)
                    sampleRemainingNeedles(g);
            if (progress)
                progress(std::min(from, haystack.size()), found);
        }
        std::vector<std::optional<std::size_t>> results;
        for (const Needle& needle : needles)
            results.push_back(needle.result);
        return results;
    }

    // How much of each needle a group would index now that fewer are left.
    std::size_t windowNow(std::size_t g) const {
        return std::max(groups[g].windowBytes(), SharedSampling::windowFor(sampleable));
    }

    // Whether a group's needles left could be sampled at least twice as sparsely: planning
    // afresh costs an index of every one of them, worth it only for a much wider spacing.
    bool sparserWithout(std::size_t g) const {
        const std::size_t window = windowNow(g);
        std::size_t smallest = std::numeric_limits<std::size_t>::max();
        for (const std::size_t i : members[g])
            if (!needles[i].done)
                smallest = std::min(smallest, std::min(needles[i].bytes.size(), window));
        return smallest != std::numeric_limits<std::size_t>::max() &&
               smallest >= 2 * groups[g].boundBytes();
    }

    // The needles that bounded a group's spacing are found: the others are planned afresh,
    // each with a larger part indexed, and sampled more sparsely from the next stretch on.
    void sampleRemainingNeedles(std::size_t g) {
        replanGroup[g] = 0;
        std::vector<Bytes> remaining(needles.size());
        std::size_t live = 0;
        for (const std::size_t i : members[g])
            if (!needles[i].done) {
                remaining[i] = needles[i].bytes;
                ++live;
            }
        const std::size_t window = windowNow(g);
        std::vector<IndexedPart> parts;
        for (std::size_t i = 0; i < needles.size(); ++i)
            if (!remaining[i].empty() && remaining[i].size() >= groups[g].gramBytes() + 8)
                parts.push_back(indexPart(remaining[i], i, window, groups[g].gramBytes()));
        PlanLimits limits = groups[g].limits();
        limits.maxSpacingEntries = SharedSampling::maxSpacingFor(left);
        SharedSampling sparser(remaining, std::move(parts), groups[g].gramBytes(), window, limits);
        std::size_t sampled = 0;
        for (std::size_t i = 0; i < needles.size(); ++i)
            sampled += sparser.samples(i) ? 1 : 0;
        // Kept as it is unless every needle left is sampled the new way.
        if (sampled == live && sparser.samplesAny() &&
            sparser.spacingBytes() > groups[g].spacingBytes()) {
            groups[g] = std::move(sparser);
            boundingLeft[g] = countBounding(g);
        }
        replanned = true;
    }

    void finish(std::size_t i, std::optional<std::size_t> result) {
        Needle& needle = needles[i];
        if (needle.done)
            return;
        needle.done = true;
        needle.result = result;
        --left;
        found += result ? 1 : 0;
        sampleable -= needle.bytes.size() >= SharedSampling::minNeedle ? 1 : 0;
        if (needle.inStretch) {
            needle.inStretch = false;
            --pending;
        }
        // Once the last needle that bounded its group's spacing is found, the others may be
        // sampled more sparsely.
        const std::size_t g = groupOf[i];
        if (g != noGroup && groups[g].bounds(i) && --boundingLeft[g] == 0 && sparserWithout(g))
            replanGroup[g] = 1;
        if (result)
            for (const std::size_t dependent : dependents[i])
                finish(dependent, std::nullopt);
    }

    // Ends a sampled needle's part in the stretch under way.
    void settle(std::size_t i) {
        Needle& needle = needles[i];
        if (needle.best || needle.stretchLast == needle.last) {
            finish(i, needle.best);
            return;
        }
        needle.inStretch = false;
        --pending;
    }

    void setLimit(std::size_t i, std::size_t limit) {
        needles[i].limit = limit;
        settlePoints.emplace(limit, i);
    }

    void searchStretch(std::size_t from, std::size_t to) {
        scanStretch(from, to);
        for (std::size_t g = 0; g < groups.size(); ++g) {
            group = &groups[g];
            sampleStretch(g, from, to);
        }
    }

    // A needle that is scanned jumps between the hits of its anchor byte: the one of its bytes
    // rarest in the haystack, judged from a few pieces of it, makes the fewest stops (in texture
    // archives a byte rare in one texture is often common in the others).
    void anchorScansIn(Bytes hay) {
        bool scanning = false;
        for (std::size_t i = 0; i < needles.size(); ++i)
            scanning = scanning || (!needles[i].done && groupOf[i] == noGroup);
        if (!scanning)
            return;
        RareByteSearch::ByteCounts counts{};
        const std::size_t step = hay.size() / anchorSamplePieces;
        for (std::size_t piece = 0; piece < anchorSamplePieces; ++piece)
            for (const std::uint8_t byte :
                 hay.subspan(piece * step, std::min(anchorSampleBytes, hay.size() - piece * step)))
                ++counts[byte];
        for (std::size_t i = 0; i < needles.size(); ++i)
            if (!needles[i].done && groupOf[i] == noGroup)
                needles[i].scan.expectHaystack(counts);
    }

    // Settles the stretch for the needles no group samples. They share one scan: the stretch is
    // taken a chunk at a time, and every such needle scans the chunk while it is in the
    // processor's cache, so that the bytes come from memory once however many there are.
    void scanStretch(std::size_t from, std::size_t to) {
        std::vector<std::size_t> scanned;
        for (std::size_t i = 0; i < needles.size(); ++i)
            if (!needles[i].done && groupOf[i] == noGroup)
                scanned.push_back(i);
        for (std::size_t chunk = from; chunk <= to && !scanned.empty(); chunk += scanChunkBytes) {
            const std::size_t chunkLast =
                to - chunk < scanChunkBytes ? to : chunk + scanChunkBytes - 1;
            for (const std::size_t i : scanned) {
                Needle& needle = needles[i];
                if (needle.done || chunk > needle.last)
                    continue;
                const Stretch stretch{chunk, std::min(chunkLast, needle.last)};
                if (const auto at = needle.scan.find(haystack, stretch, reader))
                    finish(i, at);
                else if (stretch.last == needle.last)
                    finish(i, std::nullopt);
            }
            std::erase_if(scanned, [&](std::size_t i) { return needles[i].done; });
        }
    }

    // Settles the stretch for the needles of one group.
    void sampleStretch(std::size_t g, std::size_t from, std::size_t to) {
        for (const std::size_t i : members[g]) {
            Needle& needle = needles[i];
            if (needle.done)
                continue;
            needle.inStretch = true;
            needle.open = from;
            needle.stretchLast = std::min(to, needle.last);
            needle.best.reset();
            needle.handOverBlocks = 1;
            ++pending;
            setLimit(i, needle.stretchLast + group->lagBytes(i));
        }
        nextToAnnounce = 0;
        const std::size_t spacing = group->spacingBytes();
        // Blocks that end before the stretch's first candidate meet none of it.
        const std::size_t firstUseful = from - std::min(from, group->blockSamples() - 1);
        for (std::size_t block = (firstUseful + spacing - 1) / spacing * spacing;
             pending > 0 && block + group->gramBytes() <= haystack.size(); block += spacing) {
            while (!settlePoints.empty() && settlePoints.top().first < block) {
                const auto [limit, i] = settlePoints.top();
                settlePoints.pop();
                if (needles[i].inStretch && needles[i].limit == limit)
                    settle(i);
            }
            if (pending == 0)
                break;
            announceBlocks(block);
            prefetchBlock(block + prefetchedBlocksAhead * spacing);
            searchBlock(block);
        }
        for (const std::size_t i : members[g])
            if (pending > 0 && needles[i].inStretch)
                settle(i);
        settlePoints = {};
    }

    // Asks the processor for a block's bytes ahead of its lookups: blocks lie far apart, and
    // each would otherwise wait for memory on its first bytes.
    void prefetchBlock(std::size_t blockStart) const {
        constexpr std::size_t cacheLine = 64;
        const std::size_t bytes = group->blockSamples() + group->gramBytes() - 1;
        for (std::size_t at = blockStart; at < blockStart + bytes && at < haystack.size();
             at += cacheLine)
            __builtin_prefetch(haystack.data() + at);
    }

    void searchBlock(std::size_t blockStart) {
        candidates.clear();
        const std::size_t gramBytes = group->gramBytes();
        const Bytes block =
            haystack.subspan(blockStart, std::min(group->blockSamples() + gramBytes - 1,
                                                  haystack.size() - blockStart));
        sampleCopy.resize(block.size());
        const std::uint8_t* samples =
            reader != nullptr && reader->copy(block, sampleCopy) ? sampleCopy.data() : block.data();
        // Samples a word apart share all but one word of their grams: their fingerprints roll.
        // The eight rolls, one for each byte of a word, are advanced side by side: none waits
        // on another's multiplications.
        constexpr std::size_t step = search_stages::GramIndex::indexStep;
        const std::size_t samplesHere =
            std::min(group->blockSamples(), block.size() - gramBytes + 1);
        std::array<std::uint64_t, step> prints{};
        for (std::size_t word = 0; word * step < samplesHere; ++word) {
            for (std::size_t first = 0; first < step && word * step + first < samplesHere;
                 ++first) {
                const std::size_t i = word * step + first;
                prints[first] = word == 0
                                    ? group->fingerprint(samples + i)
                                    : group->nextFingerprint(prints[first], samples + i - step);
                if (!group->mayHold(prints[first]))
                    continue;
                const std::size_t sample = blockStart + i;
                group->lookUp(prints[first], [&](std::size_t n, std::size_t needlePos) {
                    const Needle& needle = needles[n];
                    if (!needle.inStretch || needlePos > sample)
                        return;
                    const std::size_t offset = sample - needlePos;
                    if (offset >= needle.open &&
                        offset <= (needle.best ? *needle.best - 1 : needle.stretchLast))
                        candidates.push_back({n, offset, needlePos});
                });
            }
        }
        std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
            return a.needle != b.needle ? a.needle < b.needle : a.offset < b.offset;
        });
        for (std::size_t at = 0; at < candidates.size();) {
            const std::size_t n = candidates[at].needle;
            std::size_t end = at;
            while (end < candidates.size() && candidates[end].needle == n)
                ++end;
            verify(std::span(candidates).subspan(at, end - at), blockStart);
            at = end;
        }
    }

    // Verifies one needle's candidates of a block, lowest first.
    void verify(std::span<const Candidate> ofNeedle, std::size_t blockStart) {
        const std::size_t n = ofNeedle.front().needle;
        std::size_t cost = 0;
        for (const Candidate& candidate : ofNeedle) {
            if (!needles[n].inStretch)
                return;
            if (matchesAround(candidate, cost)) {
                setBest(n, candidate.offset);
                return;
            }
            if (cost > verifyBudgetFactor * group->spacingBytes()) {
                handOver(n, blockStart);
                return;
            }
        }
    }

    void setBest(std::size_t n, std::size_t offset) {
        Needle& needle = needles[n];
        needle.best = offset;
        // A lower candidate than the best would have met a block by now.
        if (offset == needle.open)
            settle(n);
        else
            setLimit(n, offset + group->lagBytes(n));
    }

    // Settles every open candidate of a needle up to and past a block whose candidates cost too
    // much to verify (repetitive data) at once. A sampled best lies inside that stretch too,
    // so the scan's answer, if any, is the first occurrence.
    void handOver(std::size_t n, std::size_t blockStart) {
        Needle& needle = needles[n];
        const Stretch hard{needle.open,
                           std::min(needle.stretchLast,
                                    blockStart + needle.handOverBlocks * group->spacingBytes())};
        if (const auto at = needle.scan.find(haystack, hard, reader)) {
            needle.best = at;
            settle(n);
            return;
        }
        needle.open = hard.last + 1;
        if (needle.open > needle.stretchLast) {
            settle(n);
            return;
        }
        // A hard stretch doubles while it stays hard, so that long repetitive regions cost few
        // hand-overs but one hard block does not send a whole archive to the scan.
        needle.handOverBlocks = std::min(needle.handOverBlocks * 2, maxHandOverBlocks);
    }

    bool matchesAround(const Candidate& candidate, std::size_t& cost) {
        const Bytes needle = needles[candidate.needle].bytes;
        const std::uint8_t* at = haystack.data() + candidate.offset;
        const std::size_t from = candidate.needlePos - std::min(candidate.needlePos, aroundBytes);
        const std::size_t to =
            std::min(needle.size(), candidate.needlePos + group->gramBytes() + aroundBytes);
        if (std::memcmp(at + from, needle.data() + from, to - from) != 0) {
            cost += to - from;
            return false;
        }
        announceOne(reader, haystack.subspan(candidate.offset, needle.size()));
        cost += needle.size();
        return std::memcmp(at, needle.data(), needle.size()) == 0;
    }

    void announceBlocks(std::size_t blockStart) {
        const std::size_t spacing = group->spacingBytes();
        if (reader == nullptr || nextToAnnounce > blockStart + announcedBlocks / 2 * spacing)
            return;
        announced.clear();
        const std::size_t sampleBytes = group->blockSamples() + group->gramBytes() - 1;
        for (nextToAnnounce = std::max(nextToAnnounce, blockStart);
             announced.size() < announcedBlocks && nextToAnnounce < haystack.size();
             nextToAnnounce += spacing)
            announced.push_back(haystack.subspan(
                nextToAnnounce, std::min(sampleBytes, haystack.size() - nextToAnnounce)));
        reader->willRead(announced);
    }

    static constexpr std::size_t noGroup = std::numeric_limits<std::size_t>::max();
    std::vector<SharedSampling> groups;
    std::vector<std::size_t> groupOf;              // which group samples each needle, if any
    std::vector<std::vector<std::size_t>> members; // the needles each group samples
    std::vector<std::size_t> boundingLeft;         // of each group's needles that bound its spacing
    const SharedSampling* group = nullptr;         // the one sampling the stretch under way
    std::vector<Needle> needles;
    std::vector<std::vector<std::size_t>> dependents; // given up when the needle is found
    // Of the findAll() under way.
    Bytes haystack;
    HaystackReader* reader = nullptr;
    std::size_t left = 0, found = 0;
    std::size_t sampleable = 0;            // needles left long enough to be sampled
    std::size_t pending = 0;               // sampled needles still open in the stretch under way
    std::vector<std::uint8_t> replanGroup; // a needle that bounded its spacing is found
    bool replanned = false;                // the sampling leaves out needles found
    std::priority_queue<SettlePoint, std::vector<SettlePoint>, std::greater<>> settlePoints;
    std::vector<Candidate> candidates;    // reused by every block
    std::vector<Bytes> announced;         // reused by every announcement
    std::vector<std::uint8_t> sampleCopy; // a block's bytes, when the reader copies them out
    std::size_t nextToAnnounce = 0;
};

MultiSearch::MultiSearch(std::span<const Bytes> needles, std::span<const std::size_t> partners)
    : impl_(std::make_unique<Impl>(needles, partners)) {}

MultiSearch::~MultiSearch() = default;

SearchGeometry MultiSearch::geometry() const noexcept {
    return impl_->geometry();
}

std::vector<std::optional<std::size_t>> MultiSearch::findAll(Bytes haystack, HaystackReader* reader,
                                                             const SearchProgress& progress) {
    return impl_->findAll(haystack, reader, progress);
}

std::optional<std::size_t> findFirst(Bytes haystack, Bytes needle, HaystackReader* reader) {
    MultiSearch search(std::span(&needle, 1));
    return search.findAll(haystack, reader).front();
}

} // namespace dyeloom
