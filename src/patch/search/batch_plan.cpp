#include "search/batch_plan.hpp"

#include <algorithm>
#include <bit>
#include <map>
#include <optional>
#include <tuple>

namespace dyeloom::search_stages {
namespace {

// Gram lengths tried in turn. 128 bytes make nearly every gram of texture data occur once, even
// in data of two byte values or among repeated blocks, so the spacing comes near the needle's
// length. A gram that occurs once still does when lengthened, and is still no short repetition,
// so longer grams are informative wherever shorter ones are; they only fit at fewer entries
// (15 fewer for 128 bytes than for 8), which counts in needles shorter than shortNeedleBytes,
// and only those try the shorter grams.
constexpr std::size_t gramLengths[] = {128, 32, 8};
constexpr std::size_t shortNeedleBytes = 16 << 10;
// A gram length whose plan has blocks at least this fraction of the entries apart is taken
// without trying the others: a quarter of the needle apart already makes the samples few.
constexpr std::size_t goodSpacingDivisor = 4;
// Only a MiB of a needle is indexed: a spacing of up to a MiB already makes the samples few
// (about a thousand per GiB), and the index stays near 4 MiB whatever the texture's size.
constexpr std::size_t indexedNeedleBytes = std::size_t{1} << 20;
// A batch indexes at most this much of all its needles together: its tables cost about three
// bytes per byte indexed, so they stay near 24 MiB for any number of needles. A shared spacing
// is bounded by the smallest part indexed, so a large batch indexes little of each needle
// without sampling more densely than its smallest needle makes it anyway; below
// minIndexedBytes a part would bound the spacing more than most needles do.
constexpr std::size_t indexBudgetBytes = std::size_t{16} << 20;
constexpr std::size_t minIndexedBytes = std::size_t{8} << 10;
// A group's table holds at most one entry a class of each needle: this many entries in all
// (32 MiB of slots, half of them taken) bound each needle's spacing, but never below
// minSpacingLimitEntries (a scan's worth of sampling).
constexpr std::size_t tableBudgetEntries = std::size_t{2} << 20;
constexpr std::size_t minSpacingLimitEntries = 64;
// A needle whose own spacing from its part of a batch is under an eighth of the part is plain
// there (transparent rows, flat colour): it gets a larger part indexed, while the budget lasts,
// if that samples it more sparsely.
constexpr std::size_t plainSpacingDivisor = 8;
// Larger parts for plain needles cost their indexing time (about 10 ms a MiB) but little memory:
// the table keeps one entry a class. This much in all: 0.3 s at most.
constexpr std::size_t plainPartBudgetBytes = std::size_t{32} << 20;

// A needle's own plan, as if it were searched for alone with a part of it indexed, and that
// part's flags at the plan's gram length, for its group to plan with.
struct OwnPlan {
    std::size_t gramBytes = 0;
    SamplingPlan plan;
    IndexedPart part;

    [[nodiscard]] std::size_t spacingBytes() const { return bytesOfEntries(plan.spacingEntries); }
};

std::optional<OwnPlan> ownPlan(Bytes needle, std::size_t i, std::size_t windowBytes,
                               const PlanLimits& limits) {
    const std::size_t from = indexedWindowStart(needle, windowBytes);
    const Bytes part = needle.subspan(from, std::min(needle.size() - from, windowBytes));
    std::optional<OwnPlan> best;
    for (const std::size_t gramBytes : gramLengths) {
        if (part.size() < gramBytes + entryBytes)
            continue;
        IndexedPart indexed{i, from, informativeEntries(part, gramBytes)};
        const std::size_t entries = indexed.informative.size();
        const auto plan = planSampling(indexed, limits);
        if (plan && (!best || cheaper(*plan, best->plan, limits.blockCost)))
            best = OwnPlan{gramBytes, *plan, std::move(indexed)};
        // A quarter of the entries apart already makes the samples few; longer needles try
        // only the longest grams, which fit nearly as many entries.
        if ((best && goodSpacingDivisor * best->plan.spacingEntries >= entries) ||
            part.size() >= shortNeedleBytes)
            break;
    }
    if (!best || best->spacingBytes() < minSpacingBytes)
        return std::nullopt;
    return best;
}

// Each needle's own plan from a part of `window` bytes. Where the whole haystack is read
// whatever the batch samples (a needle is scanned, or samples so densely that every page is
// touched), blocks cost no page reads of their own: the plans are made again for that, and
// `limits` says so from then on.
std::vector<std::optional<OwnPlan>> ownPlans(std::span<const Bytes> needles, std::size_t window,
                                             PlanLimits& limits) {
    std::vector<std::optional<OwnPlan>> own(needles.size());
    bool everyPageRead = false;
    for (std::size_t i = 0; i < needles.size(); ++i) {
        if (needles[i].empty())
            continue;
        if (needles[i].size() >= minSampledNeedleBytes)
            own[i] = ownPlan(needles[i], i, window, limits);
        everyPageRead = everyPageRead || !own[i] || own[i]->spacingBytes() <= pageBytes;
    }
    if (!everyPageRead)
        return own;
    limits.blockCost = readBlockCost;
    for (auto& plan : own) {
        if (!plan)
            continue;
        const auto cheaperBlocks = planSampling(plan->part, limits);
        if (cheaperBlocks && bytesOfEntries(cheaperBlocks->spacingEntries) >= minSpacingBytes)
            plan->plan = *cheaperBlocks;
    }
    return own;
}

// A needle too plain to sample well from a small part may sample better from a larger one,
// within a budget of its own: otherwise its samples, or a scan, make it the batch's hardest
// member. Those that would be scanned come first, then the most densely sampled; each part grows
// four times at a step until the needle samples no more densely than its part allows. Returns
// the size of the part each needle is planned with.
std::vector<std::size_t> widenPlainParts(std::span<const Bytes> needles, std::size_t window,
                                         const PlanLimits& limits,
                                         std::vector<std::optional<OwnPlan>>& own) {
    std::vector<std::size_t> partBytes(needles.size(), window);
    if (window >= indexedNeedleBytes)
        return partBytes;
    // Plain: no plan, or one denser than the part allows and than the limit makes it anyway.
    const std::size_t limitBytes = bytesOfEntries(limits.maxSpacingEntries) / 2;
    const auto isPlain = [&](std::size_t i, std::size_t part) {
        return !own[i] || (own[i]->spacingBytes() * plainSpacingDivisor < part &&
                           own[i]->spacingBytes() < limitBytes);
    };
    std::vector<std::size_t> plain;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (needles[i].size() > window && isPlain(i, window))
            plain.push_back(i);
    const auto spacingOf = [&](std::size_t i) { return own[i] ? own[i]->spacingBytes() : 0; };
    std::sort(plain.begin(), plain.end(),
              [&](std::size_t a, std::size_t b) { return spacingOf(a) < spacingOf(b); });
    std::size_t budget = plainPartBudgetBytes;
    for (const std::size_t i : plain) {
        for (std::size_t wider = std::min(window * 4, indexedNeedleBytes);
             budget >= wider - partBytes[i]; wider = std::min(wider * 4, indexedNeedleBytes)) {
            auto wide = ownPlan(needles[i], i, wider, limits);
            if (wide && (!own[i] || wide->spacingBytes() > own[i]->spacingBytes())) {
                budget -= wider - partBytes[i];
                own[i] = std::move(wide);
                partBytes[i] = wider;
            }
            if (!isPlain(i, wider) || wider >= std::min(needles[i].size(), indexedNeedleBytes))
                break;
        }
    }
    return partBytes;
}

} // namespace

std::size_t indexedWindowFor(std::size_t needles) {
    return std::clamp(indexBudgetBytes / std::max<std::size_t>(needles, 1), minIndexedBytes,
                      indexedNeedleBytes);
}

std::size_t maxSpacingEntriesFor(std::size_t needles) {
    return std::max(tableBudgetEntries / std::max<std::size_t>(needles, 1), minSpacingLimitEntries);
}

// A table entry takes two slots of 8 bytes and at most 16 bits of each of its two presence sets.
// A batch keeps at most tableBudgetEntries in all, or minSpacingLimitEntries a needle where its
// needles are more than tableBudgetEntries / minSpacingLimitEntries (which a mod's pass never
// holds). The indexes take a byte an entry of what is indexed: the budget, the plain parts' and
// the scratch table of one part (at most 8/3 slots of 4 bytes an entry); a needle of
// minIndexedBytes or more may be indexed that far whatever the budget.
std::size_t groupsHeapBytes() noexcept {
    constexpr std::size_t tableEntryBytes = 2 * 8 + 2 * 2;
    constexpr std::size_t scratchBytesPerEntry = 4 * 3;
    return tableBudgetEntries * tableEntryBytes +
           (indexBudgetBytes + plainPartBudgetBytes) / entryBytes +
           indexedNeedleBytes / entryBytes * scratchBytesPerEntry;
}

std::size_t groupsHeapPerNeedle(std::size_t needleBytes) noexcept {
    return std::min(needleBytes, minIndexedBytes) / entryBytes;
}

std::vector<SampledGroup> planGroups(std::span<const Bytes> needles) {
    std::size_t count = 0;
    for (const Bytes needle : needles)
        count += needle.size() >= minSampledNeedleBytes ? 1 : 0;
    const std::size_t window = indexedWindowFor(count);
    PlanLimits limits{uncachedBlockCost, maxSpacingEntriesFor(count)};
    auto own = ownPlans(needles, window, limits);
    const auto partBytes = widenPlainParts(needles, window, limits, own);
    // Needles whose own plans are alike (spacings and blocks within a factor of four) share a
    // group: a group samples at its smallest spacing with its longest blocks, and one plain
    // texture must not make a whole mod's samples dense.
    using Key = std::tuple<std::size_t, std::size_t, int, int>; // part, gram, spacing, block
    std::map<Key, std::vector<IndexedPart>> alike;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (own[i])
            alike[{partBytes[i], own[i]->gramBytes, std::bit_width(own[i]->spacingBytes()) / 2,
                   std::bit_width(own[i]->plan.blockEntries) / 2}]
                .push_back(std::move(own[i]->part));
    std::vector<SampledGroup> groups;
    for (auto& [key, parts] : alike) {
        SampledGroup group(needles, std::move(parts), std::get<1>(key), std::get<0>(key), limits);
        // A group no shared spacing suits leaves its needles to the scan.
        if (group.samplesAny())
            groups.push_back(std::move(group));
    }
    return groups;
}

} // namespace dyeloom::search_stages
