#include "search/group_stretch.hpp"

#include <algorithm>
#include <cstring>

namespace dyeloom::search_stages {
namespace {

// A block whose failed verifications cost more than this many times the spacing is hard: its
// part of the stretch is handed to the rare-byte scan, which bounds the cost per byte on any
// data.
constexpr std::size_t verifyBudgetFactor = 4;
// A hard part doubles while it stays hard, up to this many blocks, so that long repetitive
// regions cost few hand-overs but one hard block does not send a whole archive to the scan.
constexpr std::size_t maxHandOverBlocks = 256;
// A candidate is first compared this far on each side of the gram that proposed it: those bytes
// are on the sample's page, most likely cached, and most false candidates fail there.
constexpr std::size_t aroundBytes = 64;
// Blocks announced to the read-ahead at a time: enough reads in flight together to keep a disk
// busy (64 and 128 were equally fast here, 16 a tenth slower, on a cold 1 GiB archive), few
// enough that the announced pages are still cached when the blocks are reached.
constexpr std::size_t announcedBlocks = 64;
// A block's bytes are asked of the processor this many blocks ahead of its lookups, so that
// memory has answered when they begin (blocks lie far apart, and each would otherwise wait for
// memory on its first bytes): a mod of 100 textures on 1 GiB, warm, took 0.62 s
// without, 0.39 s one block ahead, and no less four blocks ahead.
constexpr std::size_t prefetchedBlocksAhead = 1;
constexpr std::size_t cacheLineBytes = 64;

} // namespace

void GroupStretch::run(std::span<const std::size_t> members, Stretch stretch) {
    openMembers(members, stretch);
    const Bytes haystack = haystack_.bytes;
    const std::size_t spacing = group_.spacingBytes();
    // Blocks that end before the stretch's first candidate meet none of it.
    const std::size_t firstUseful =
        stretch.first - std::min(stretch.first, group_.blockSamples() - 1);
    for (std::size_t block = (firstUseful + spacing - 1) / spacing * spacing;
         needles_.board.openCount() > 0 && block + group_.gramBytes() <= haystack.size();
         block += spacing) {
        settleUpTo(block);
        if (needles_.board.openCount() == 0)
            break;
        announceBlocks(block);
        // Written out here: a call of a function that only prefetches may be dropped as having
        // no effect.
        const std::size_t ahead = block + prefetchedBlocksAhead * spacing;
        for (std::size_t at = ahead; at < std::min(ahead + group_.blockBytes(), haystack.size());
             at += cacheLineBytes)
            __builtin_prefetch(haystack.data() + at);
        searchBlock(block);
    }
    for (const std::size_t i : members)
        if (needles_.board.openCount() > 0 && needles_.board[i].open)
            settle(i);
    scratch_.settlePoints = {};
}

void GroupStretch::openMembers(std::span<const std::size_t> members, Stretch stretch) {
    for (const std::size_t i : members) {
        const NeedleOutcome& outcome = needles_.outcomes[i];
        if (outcome.done)
            continue;
        const std::size_t last = std::min(stretch.last, outcome.lastCandidate);
        needles_.board.open(i, stretch.first, last, last == outcome.lastCandidate);
        setLimit(i, last + group_.lagBytes(i));
    }
}

// Settles every needle whose limit lies before `block`: no block from here on meets a candidate
// lower than its best.
void GroupStretch::settleUpTo(std::size_t block) {
    auto& points = scratch_.settlePoints;
    while (!points.empty() && points.top().first < block) {
        const auto [limit, i] = points.top();
        points.pop();
        if (needles_.board[i].open && needles_.board[i].limit == limit)
            settle(i);
    }
}

// Ends a needle's part in the stretch: settled for good when it is found or the stretch reaches
// its last candidate.
void GroupStretch::settle(std::size_t n) {
    const OpenNeedle& needle = needles_.board[n];
    if (needle.best || needle.endsNeedle)
        needles_.sink.finish(n, needle.best);
    else
        needles_.board.close(n);
}

void GroupStretch::setLimit(std::size_t n, std::size_t limit) {
    needles_.board[n].limit = limit;
    scratch_.settlePoints.emplace(limit, n);
}

void GroupStretch::announceBlocks(std::size_t blockStart) {
    const std::size_t spacing = group_.spacingBytes();
    const Bytes haystack = haystack_.bytes;
    if (haystack_.reader == nullptr || nextToAnnounce_ > blockStart + announcedBlocks / 2 * spacing)
        return;
    auto& announced = scratch_.announced;
    announced.clear();
    for (nextToAnnounce_ = std::max(nextToAnnounce_, blockStart);
         announced.size() < announcedBlocks && nextToAnnounce_ < haystack.size();
         nextToAnnounce_ += spacing)
        announced.push_back(haystack.subspan(
            nextToAnnounce_, std::min(group_.blockBytes(), haystack.size() - nextToAnnounce_)));
    haystack_.reader->willRead(announced);
}

void GroupStretch::searchBlock(std::size_t blockStart) {
    const Bytes haystack = haystack_.bytes;
    const Bytes block =
        haystack.subspan(blockStart, std::min(group_.blockBytes(), haystack.size() - blockStart));
    auto& copy = scratch_.sampleCopy;
    copy.resize(block.size());
    const std::uint8_t* samples = haystack_.reader != nullptr && haystack_.reader->copy(block, copy)
                                      ? copy.data()
                                      : block.data();
    collectCandidates(blockStart, samples,
                      std::min(group_.blockSamples(), block.size() - group_.gramBytes() + 1));
    auto& candidates = scratch_.candidates;
    std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
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

// Looks up every sample of a block and keeps the candidates of open needles that could still
// be their lowest match.
void GroupStretch::collectCandidates(std::size_t blockStart, const std::uint8_t* samples,
                                     std::size_t samplesHere) {
    auto& candidates = scratch_.candidates;
    candidates.clear();
    const GroupTable& table = group_.table();
    for (std::size_t i = 0; i < samplesHere; ++i) {
        if (!table.mayStart(samples + i))
            continue;
        const std::uint64_t print = table.fingerprint(samples + i);
        if (!table.mayHold(print))
            continue;
        const std::size_t sample = blockStart + i;
        table.lookUp(print, [&](std::size_t n, std::size_t needlePos) {
            const OpenNeedle& needle = needles_.board[n];
            if (!needle.open || needlePos > sample)
                return;
            const std::size_t offset = sample - needlePos;
            if (offset >= needle.settledBelow &&
                offset <= (needle.best ? *needle.best - 1 : needle.last))
                candidates.push_back({n, offset, needlePos});
        });
    }
}

// Verifies one needle's candidates of a block, lowest first.
void GroupStretch::verify(std::span<const StretchScratch::Candidate> ofNeedle,
                          std::size_t blockStart) {
    const std::size_t n = ofNeedle.front().needle;
    std::size_t cost = 0;
    for (const auto& candidate : ofNeedle) {
        if (!needles_.board[n].open)
            return;
        if (matchesAround(candidate, cost)) {
            setBest(n, candidate.offset);
            return;
        }
        if (cost > verifyBudgetFactor * group_.spacingBytes()) {
            handOver(n, blockStart);
            return;
        }
    }
}

bool GroupStretch::matchesAround(const StretchScratch::Candidate& candidate, std::size_t& cost) {
    const Bytes needle = needles_.bytes[candidate.needle];
    const std::uint8_t* at = haystack_.bytes.data() + candidate.offset;
    const std::size_t from = candidate.needlePos - std::min(candidate.needlePos, aroundBytes);
    const std::size_t to =
        std::min(needle.size(), candidate.needlePos + group_.gramBytes() + aroundBytes);
    if (std::memcmp(at + from, needle.data() + from, to - from) != 0) {
        cost += to - from;
        return false;
    }
    announce(haystack_.reader, haystack_.bytes.subspan(candidate.offset, needle.size()));
    cost += needle.size();
    return std::memcmp(at, needle.data(), needle.size()) == 0;
}

void GroupStretch::setBest(std::size_t n, std::size_t offset) {
    OpenNeedle& needle = needles_.board[n];
    needle.best = offset;
    // A lower candidate than the best would have met a block by now.
    if (offset == needle.settledBelow)
        settle(n);
    else
        setLimit(n, offset + group_.lagBytes(n));
}

// Settles every open candidate of a needle up to and past a hard block at once. A sampled best
// lies inside that part too, so the scan's answer, if any, is the first occurrence.
void GroupStretch::handOver(std::size_t n, std::size_t blockStart) {
    OpenNeedle& needle = needles_.board[n];
    const Stretch hard{
        needle.settledBelow,
        std::min(needle.last, blockStart + needle.handOverBlocks * group_.spacingBytes())};
    if (const auto at = needles_.scans[n].find(haystack_.bytes, hard, haystack_.reader)) {
        needle.best = at;
        settle(n);
        return;
    }
    needle.settledBelow = hard.last + 1;
    if (needle.settledBelow > needle.last) {
        settle(n);
        return;
    }
    needle.handOverBlocks = std::min(needle.handOverBlocks * 2, maxHandOverBlocks);
}

} // namespace dyeloom::search_stages
