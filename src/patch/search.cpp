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
// What reading a block's page costs, counted in lookups of a sample (about 20 ns each): 1 us
// for a cached page copied out with a positioned read, up to 15 us from the disk. A plan's cost
// per haystack byte is (this + its samples per block) / its spacing.
constexpr std::size_t pageCostInLookups = 512;
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

// The part of `needle` to index: the window of indexedNeedleBytes whose grams are least often
// short repetitions, the earliest of equals (its blocks then lag least behind a candidate).
std::size_t indexedWindowStart(Bytes needle) {
    if (needle.size() <= indexedNeedleBytes)
        return 0;
    const std::size_t room = needle.size() - indexedNeedleBytes;
    const std::size_t probeStep = indexedNeedleBytes / windowProbes;
    constexpr std::size_t probedGram = 128;
    std::size_t best = 0, bestScore = 0;
    for (std::size_t window = 0; window < indexedWindowsTried; ++window) {
        const std::size_t start = room / (indexedWindowsTried - 1) * window / 8 * 8;
        std::size_t score = 0;
        for (std::size_t at = start; at + probedGram <= start + indexedNeedleBytes; at += probeStep)
            score += isShortRepetition(needle.data() + at, probedGram) ? 0 : 1;
        if (score > bestScore) {
            best = start;
            bestScore = score;
        }
    }
    return best;
}

} // namespace

RareByteSearch::RareByte RareByteSearch::findRareByte(Bytes needle) {
    std::array<std::size_t, 256> count{};
    for (const std::uint8_t byte : needle)
        ++count[byte];
    // Bytes that fill padding and blank pixels are poor anchors in archives even when rare in
    // the needle; they lose ties.
    const auto common = [](unsigned byte) { return byte == 0x00 || byte == 0xFF; };
    unsigned best = needle[0];
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (count[byte] == 0)
            continue;
        if (count[byte] < count[best] || (count[byte] == count[best] && common(best)))
            best = byte;
    }
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
        twoWay_.emplace(needle_);
    const Bytes part =
        haystack.subspan(stretch.first, stretch.last - stretch.first + needle_.size());
    const auto found = twoWay_->find(part);
    return found ? std::optional<std::size_t>(stretch.first + *found) : std::nullopt;
}

GramIndex::GramIndex(Bytes needlePart, std::size_t gramBytes)
    : needlePart_(needlePart), gramBytes_(gramBytes) {
    const std::size_t entries = (needlePart.size() - gramBytes) / indexStep + 1;
    // At most three slots in four taken: probes stay short, and the table small.
    while ((std::size_t{3} << slotBits_) < 4 * entries)
        ++slotBits_;
    slots_.assign(std::size_t{1} << slotBits_, 0);
    for (std::size_t word = 1; word < gramBytes / 8; ++word)
        powers_[word] = powers_[word - 1] * fibonacciMultiplier;
    leadingPower_ = powers_[gramBytes / 8 - 1];
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

std::uint64_t GramIndex::fingerprint(const std::uint8_t* gram) const {
    // A polynomial over the gram's words: cheap to roll along the needle. Summed term by term
    // rather than by Horner's rule, the multiplications do not wait on one another.
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
    return load64(a) == load64(b) && std::memcmp(a + 8, b + 8, gramBytes_ - 8) == 0;
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

namespace {

// The plan with blocks `spacing` entries apart: the first informative entry of each class, and
// the longest run of classes (around the end and back) that have none.
std::optional<SamplingPlan> planWithSpacing(const GramIndex& index, std::size_t spacing,
                                            std::vector<std::uint32_t>& firstInClass) {
    constexpr auto none = std::numeric_limits<std::uint32_t>::max();
    firstInClass.assign(spacing, none);
    for (std::size_t entry = 0, inClass = 0; entry < index.entries();
         ++entry, inClass = inClass + 1 == spacing ? 0 : inClass + 1)
        if (index.informative(entry) && firstInClass[inClass] == none)
            firstInClass[inClass] = static_cast<std::uint32_t>(entry);
    std::size_t longestGap = 0, lastFirst = 0;
    for (std::size_t k = 0, gap = 0; k < 2 * spacing && longestGap < spacing; ++k) {
        const std::uint32_t first = firstInClass[k % spacing];
        gap = first == none ? gap + 1 : 0;
        longestGap = std::max(longestGap, gap);
        if (first != none)
            lastFirst = std::max<std::size_t>(lastFirst, first);
    }
    if (longestGap >= std::min(spacing, maxBlockEntries) ||
        (longestGap + 1) * maxSampledShare > spacing)
        return std::nullopt;
    return SamplingPlan{spacing, longestGap + 1, (lastFirst + 1) * GramIndex::indexStep};
}

} // namespace

bool cheaper(const SamplingPlan& a, const SamplingPlan& b) {
    const auto perBlock = [](const SamplingPlan& plan) {
        return pageCostInLookups + plan.blockEntries * GramIndex::indexStep;
    };
    return perBlock(a) * b.spacingEntries < perBlock(b) * a.spacingEntries;
}

std::optional<SamplingPlan> planSampling(const GramIndex& index) {
    std::size_t informative = 0;
    for (std::size_t entry = 0; entry < index.entries(); ++entry)
        informative += index.informative(entry) ? 1 : 0;
    std::optional<SamplingPlan> best;
    std::vector<std::uint32_t> firstInClass;
    for (const std::size_t divisor : spacingDivisors) {
        const std::size_t spacing =
            divisor == 1 ? index.entries() : (index.entries() / divisor) | 1;
        // Spacings are tried widest first: once even one-entry blocks at this one would cost
        // more than the best plan, so would every narrower one.
        if (spacing == 0 || (best && !cheaper({spacing, 1, 0}, *best)))
            break;
        // Each run of blockEntries classes needs an informative entry of its own.
        if (spacing > informative * maxBlockEntries)
            continue;
        const auto plan = planWithSpacing(index, spacing, firstInClass);
        if (plan && (!best || cheaper(*plan, *best)))
            best = plan;
    }
    return best;
}

SampledSearch::SampledSearch(Bytes needle, RareByteSearch& fallback)
    : needle_(needle), fallback_(fallback) {
    indexedFrom_ = indexedWindowStart(needle);
    const Bytes indexed =
        needle.subspan(indexedFrom_, std::min(needle.size() - indexedFrom_, indexedNeedleBytes));
    for (const std::size_t gramBytes : gramLengths) {
        if (indexed.size() < gramBytes + GramIndex::indexStep)
            continue;
        GramIndex index(indexed, gramBytes);
        const auto plan = planSampling(index);
        if (plan && (!index_ || cheaper(*plan, plan_))) {
            plan_ = *plan;
            index_.emplace(std::move(index));
        }
        if ((index_ && goodSpacingDivisor * plan_.spacingEntries >= index_->entries()) ||
            indexed.size() >= shortNeedleBytes)
            break;
    }
    if (index_ && spacingBytes() < minSpacingBytes)
        index_.reset();
    // A candidate meets the index's grams this much further on.
    plan_.lagBytes += indexedFrom_;
}

std::size_t SampledSearch::spacingBytes() const noexcept {
    return plan_.spacingEntries * GramIndex::indexStep;
}

std::size_t SampledSearch::blockSamples() const noexcept {
    return plan_.blockEntries * GramIndex::indexStep;
}

std::optional<std::size_t> SampledSearch::find(Bytes haystack, Stretch candidates,
                                               HaystackReader* reader) {
    reader_ = reader;
    const std::size_t lastOffset = candidates.last;
    const std::size_t spacing = spacingBytes();
    const std::size_t gramBytes = index_->gramBytes();
    std::optional<std::size_t> best;
    std::size_t open = candidates.first; // every candidate below this one is settled
    std::size_t handOverBlocks = 1;
    nextToAnnounce_ = 0;
    // Blocks that end before the first candidate meet none of them; past the last candidate's
    // lag, none is met for the first time.
    const auto firstBlockFor = [&](std::size_t candidate) {
        const std::size_t firstUseful = candidate - std::min(candidate, blockSamples() - 1);
        return (firstUseful + spacing - 1) / spacing * spacing;
    };
    for (std::size_t block = firstBlockFor(open);
         block + gramBytes <= haystack.size() && block <= lastOffset + plan_.lagBytes;) {
        // A lower candidate than the best would have met a block by now.
        if (best && (*best == open || block > *best + plan_.lagBytes))
            break;
        announceBlocks(haystack, block);
        const BlockResult result =
            searchBlock(haystack, block, {open, best ? *best - 1 : lastOffset});
        if (result.kind == BlockResult::Kind::Match)
            best = result.offset;
        if (result.kind != BlockResult::Kind::Hard) {
            handOverBlocks = 1;
            block += spacing;
            continue;
        }
        // Settles every open candidate up to and past this block at once. A sampled best lies
        // inside that stretch too, so the fallback's answer, if any, is the first occurrence.
        const Stretch hard{open, std::min(lastOffset, block + handOverBlocks * spacing)};
        if (const auto found = fallback_.find(haystack, hard, reader_))
            return found;
        open = hard.last + 1;
        if (open > lastOffset)
            return std::nullopt;
        handOverBlocks = std::min(handOverBlocks * 2, maxHandOverBlocks);
        block = firstBlockFor(open);
    }
    return best;
}

SampledSearch::BlockResult SampledSearch::searchBlock(Bytes haystack, std::size_t blockStart,
                                                      Stretch open) {
    candidates_.clear();
    const std::size_t gramBytes = index_->gramBytes();
    const Bytes block = haystack.subspan(
        blockStart, std::min(blockSamples() + gramBytes - 1, haystack.size() - blockStart));
    sampleCopy_.resize(block.size());
    const std::uint8_t* samples =
        reader_ != nullptr && reader_->copy(block, sampleCopy_) ? sampleCopy_.data() : block.data();
    // Samples a word apart share all but one word of their grams: their fingerprints roll. The
    // eight rolls, one for each byte of a word, are advanced side by side: none waits on
    // another's multiplications.
    constexpr std::size_t step = GramIndex::indexStep;
    const std::size_t samplesHere = std::min(blockSamples(), block.size() - gramBytes + 1);
    std::array<std::uint64_t, step> prints{};
    for (std::size_t word = 0; word * step < samplesHere; ++word) {
        for (std::size_t first = 0; first < step && word * step + first < samplesHere; ++first) {
            const std::size_t i = word * step + first;
            prints[first] = word == 0 ? index_->fingerprint(samples + i)
                                      : index_->nextFingerprint(prints[first], samples + i - step);
            if (!index_->mayHold(prints[first]))
                continue;
            const auto entry = index_->find(prints[first], samples + i);
            if (!entry)
                continue;
            const std::size_t sample = blockStart + i;
            const std::size_t needlePos = indexedFrom_ + *entry * step;
            if (needlePos <= sample && sample - needlePos >= open.first &&
                sample - needlePos <= open.last)
                candidates_.push_back({sample - needlePos, needlePos});
        }
    }
    std::sort(candidates_.begin(), candidates_.end(),
              [](const Candidate& a, const Candidate& b) { return a.offset < b.offset; });
    std::size_t cost = 0;
    for (const Candidate& candidate : candidates_) {
        if (matchesAround(haystack, candidate, cost))
            return {BlockResult::Kind::Match, candidate.offset};
        if (cost > verifyBudgetFactor * spacingBytes())
            return {BlockResult::Kind::Hard};
    }
    return {};
}

bool SampledSearch::matchesAround(Bytes haystack, const Candidate& candidate, std::size_t& cost) {
    const std::uint8_t* at = haystack.data() + candidate.offset;
    const std::size_t from = candidate.needlePos - std::min(candidate.needlePos, aroundBytes);
    const std::size_t to =
        std::min(needle_.size(), candidate.needlePos + index_->gramBytes() + aroundBytes);
    if (std::memcmp(at + from, needle_.data() + from, to - from) != 0) {
        cost += to - from;
        return false;
    }
    announceOne(reader_, haystack.subspan(candidate.offset, needle_.size()));
    cost += needle_.size();
    return std::memcmp(at, needle_.data(), needle_.size()) == 0;
}

void SampledSearch::announceBlocks(Bytes haystack, std::size_t blockStart) {
    const std::size_t spacing = spacingBytes();
    if (reader_ == nullptr || nextToAnnounce_ > blockStart + announcedBlocks / 2 * spacing)
        return;
    announced_.clear();
    const std::size_t sampleBytes = blockSamples() + index_->gramBytes() - 1;
    for (nextToAnnounce_ = std::max(nextToAnnounce_, blockStart);
         announced_.size() < announcedBlocks && nextToAnnounce_ < haystack.size();
         nextToAnnounce_ += spacing)
        announced_.push_back(haystack.subspan(
            nextToAnnounce_, std::min(sampleBytes, haystack.size() - nextToAnnounce_)));
    reader_->willRead(announced_);
}

} // namespace search_stages

Searcher::Searcher(Bytes needle)
    : needle_(needle), rareByte_(std::make_unique<search_stages::RareByteSearch>(needle)) {
    if (needle.size() >= search_stages::SampledSearch::minNeedle) {
        sampled_ = std::make_unique<search_stages::SampledSearch>(needle, *rareByte_);
        if (!sampled_->usable())
            sampled_.reset();
    }
}

Searcher::~Searcher() = default;

SearchGeometry Searcher::geometry() const noexcept {
    if (!sampled_)
        return {needle_.size(), 0, 0};
    return {needle_.size(), sampled_->spacingBytes(),
            sampled_->blockSamples() + sampled_->gramBytes() - 1};
}

std::optional<std::size_t> Searcher::find(Bytes haystack, std::size_t first, std::size_t last,
                                          HaystackReader* reader) {
    if (sampled_)
        return sampled_->find(haystack, {first, last}, reader);
    return rareByte_->find(haystack, {first, last}, reader);
}

std::optional<std::size_t> findFirst(Bytes haystack, Bytes needle, HaystackReader* reader) {
    if (needle.empty() || needle.size() > haystack.size())
        return std::nullopt;
    Searcher searcher(needle);
    const std::size_t last = haystack.size() - needle.size();
    if (reader == nullptr)
        return searcher.find(haystack, 0, last, nullptr);
    // Stretch by stretch, as the reader plans them: each is settled before the next begins, so
    // the first match found is the first occurrence.
    for (std::size_t from = 0; from <= last;) {
        const std::size_t candidates =
            std::max<std::size_t>(reader->nextStretch(from, searcher.geometry()), 1);
        const std::size_t to = last - from < candidates ? last : from + candidates - 1;
        if (const auto found = searcher.find(haystack, from, to, reader))
            return found;
        from = to + 1;
    }
    return std::nullopt;
}

} // namespace dyeloom
