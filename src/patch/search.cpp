// Finding the first occurrence of a long byte string (a texture's data, kilobytes to megabytes)
// in a much longer one (an archive, up to gigabytes), in time linear in the archive on any input
// and far below it on ordinary data.
//
// Three stages, each handing the hard parts to the next:
//  1. Sampling (SampledSearch): looks at the archive only about once per needle length.
//  2. Rare byte (RareByteSearch): where sampling meets repetitive data (runs of zeros, a solid
//     colour) and candidates pile up, memchr jumps between hits of the needle's rarest byte.
//  3. Two-Way (two_way.cpp) takes over wherever verifying rare-byte hits costs too much.
// Each stage reports the lowest matching offset of the stretch it covers, and stretches are
// taken in ascending order, so the result is always the first occurrence.
#include "search.hpp"

#include "search_stages.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace dyeloom {
namespace search_stages {
namespace {

// Bytes of a q-gram: one 64-bit load.
constexpr std::size_t gramBytes = 8;
// The index holds the needle's q-grams at every indexStep-th position, and a block reads that
// many consecutive q-grams, so exactly one of them lines up with the index for any offset.
// 8 keeps the index at one entry per 8 needle bytes and a block within one cache line.
constexpr std::size_t indexStep = 8;
// A block that walks more index chain links than this, or finds more candidates, is hard. Both
// were set on the adversarial benchmark (zeros against a needle of zeros): lower values hand
// ordinary data to the slower stages, higher ones spend long on blocks that end up handed over.
constexpr std::size_t maxChainSteps = 256;
constexpr std::size_t maxCandidates = 32;
// A block whose verifying costs more than this many needle lengths is hard too.
constexpr std::size_t verifyBudgetNeedles = 2;
// A hard stretch doubles while it stays hard, up to this many blocks, so that long repetitive
// regions cost few hand-overs but one hard block does not send a whole archive to the fallback.
constexpr std::size_t maxHandOverBlocks = 256;
// Verifying compares this many leading bytes first: most false candidates fail there, and the
// rest of the needle is then compared in one call.
constexpr std::size_t verifyHeadBytes = 32;
// RareByteSearch hands over to Two-Way once its verifying has cost more than
// rareByteCostFactor times the bytes it has covered, plus rareByteCostFactor needle lengths and
// rareByteCostSlack bytes of grace. Two-Way costs about two byte comparisons per byte, memchr
// far less, so verifying that stays within a few times the span is still the faster path.
constexpr std::size_t rareByteCostFactor = 4;
constexpr std::size_t rareByteCostSlack = 256;
// The multiplier of a Fibonacci hash: spreads q-grams over the index's buckets.
constexpr std::uint64_t fibonacciMultiplier = 0x9E3779B97F4A7C15ull;

std::uint64_t load64(const std::uint8_t* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Whether the needle sits at `offset`; adds an upper bound of the bytes compared to `cost`.
bool matchesAt(Bytes haystack, Bytes needle, std::size_t offset, std::size_t& cost) {
    const std::size_t head = std::min(needle.size(), verifyHeadBytes);
    if (std::memcmp(haystack.data() + offset, needle.data(), head) != 0) {
        cost += head;
        return false;
    }
    cost += needle.size();
    return std::memcmp(haystack.data() + offset + head, needle.data() + head,
                       needle.size() - head) == 0;
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

std::optional<std::size_t> RareByteSearch::find(Bytes haystack, Stretch stretch) {
    if (!rare_)
        rare_ = findRareByte(needle_);
    std::size_t cost = 0;
    for (std::size_t offset = stretch.first; offset <= stretch.last; ++offset) {
        const std::uint8_t* from = haystack.data() + offset + rare_->index;
        const auto* hit = static_cast<const std::uint8_t*>(
            std::memchr(from, rare_->value, stretch.last - offset + 1));
        if (hit == nullptr)
            return std::nullopt;
        offset = static_cast<std::size_t>(hit - haystack.data()) - rare_->index;
        if (matchesAt(haystack, needle_, offset, cost))
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

SampledSearch::SampledSearch(Bytes needle, RareByteSearch& fallback)
    : needle_(needle), fallback_(fallback), stride_(needle.size() - gramBytes - indexStep + 2) {
    const std::size_t entries = (needle.size() - gramBytes) / indexStep + 1;
    while ((std::size_t{1} << bucketBits_) < entries)
        ++bucketBits_;
    bucketHeads_.assign(std::size_t{1} << bucketBits_, 0);
    nextInChain_.resize(entries);
    // Chains are built in ascending needle position and read newest first, so every chain
    // lists positions in descending order: the candidate offsets they imply ascend.
    for (std::size_t entry = 0; entry < entries; ++entry) {
        const std::size_t bucket = bucketOf(load64(needle.data() + entry * indexStep));
        nextInChain_[entry] = bucketHeads_[bucket];
        bucketHeads_[bucket] = static_cast<std::uint32_t>(entry + 1);
    }
}

std::size_t SampledSearch::bucketOf(std::uint64_t gram) const {
    return static_cast<std::size_t>((gram * fibonacciMultiplier) >> (64 - bucketBits_));
}

std::optional<std::size_t> SampledSearch::find(Bytes haystack) {
    const std::size_t lastOffset = haystack.size() - needle_.size();
    std::size_t handOverBlocks = 1;
    for (std::size_t sampleStart = 0;;) {
        // The block at sampleStart decides the offsets sampleStart - stride + 1 .. sampleStart.
        const Stretch block{sampleStart >= stride_ ? sampleStart - stride_ + 1 : 0,
                            std::min(sampleStart, lastOffset)};
        if (block.first > lastOffset)
            return std::nullopt;
        const BlockResult result = searchBlock(haystack, sampleStart, block);
        if (result.kind == BlockResult::Kind::Match)
            return result.offset;
        if (result.kind == BlockResult::Kind::NoMatch) {
            handOverBlocks = 1;
            sampleStart += stride_;
            continue;
        }
        const Stretch hard{block.first,
                           std::min(lastOffset, block.first + handOverBlocks * stride_ - 1)};
        if (const auto found = fallback_.find(haystack, hard))
            return found;
        handOverBlocks = std::min(handOverBlocks * 2, maxHandOverBlocks);
        sampleStart = hard.last + stride_;
    }
}

SampledSearch::BlockResult SampledSearch::searchBlock(Bytes haystack, std::size_t sampleStart,
                                                      Stretch stretch) {
    constexpr BlockResult hard{BlockResult::Kind::Hard};
    candidates_.clear();
    std::size_t chainSteps = 0;
    for (std::size_t sample = sampleStart;
         sample < sampleStart + indexStep && sample + gramBytes <= haystack.size(); ++sample) {
        const std::uint64_t gram = load64(haystack.data() + sample);
        for (std::uint32_t link = bucketHeads_[bucketOf(gram)]; link != 0;
             link = nextInChain_[link - 1]) {
            if (++chainSteps > maxChainSteps)
                return hard;
            const std::size_t needlePos = (link - 1) * indexStep;
            if (needlePos > sample || sample - needlePos < stretch.first)
                continue;
            const std::size_t offset = sample - needlePos;
            if (offset > stretch.last)
                break; // the rest of the chain implies higher offsets still
            if (load64(needle_.data() + needlePos) != gram)
                continue;
            candidates_.push_back(offset);
            if (candidates_.size() > maxCandidates)
                return hard;
        }
    }
    std::sort(candidates_.begin(), candidates_.end());
    std::size_t cost = 0;
    for (const std::size_t offset : candidates_) {
        if (matchesAt(haystack, needle_, offset, cost))
            return {BlockResult::Kind::Match, offset};
        if (cost > verifyBudgetNeedles * needle_.size())
            return hard;
    }
    return {};
}

} // namespace search_stages

std::optional<std::size_t> findFirst(Bytes haystack, Bytes needle) {
    if (needle.empty() || needle.size() > haystack.size())
        return std::nullopt;
    search_stages::RareByteSearch rareByte(needle);
    if (needle.size() < search_stages::SampledSearch::minNeedle)
        return rareByte.find(haystack, {0, haystack.size() - needle.size()});
    return search_stages::SampledSearch(needle, rareByte).find(haystack);
}

} // namespace dyeloom
