#include "search/sampling_plan.hpp"

#include "search/gram_print.hpp"

#include <algorithm>
#include <iterator>

namespace dyeloom::search_stages {
namespace {

// Spacings tried, as the number of entries divided by these, widest first, each but the first
// made odd: an even spacing would line classes up with the power-of-two row lengths of texture
// data, where a transparent margin can fill a whole class. Each try is a pass over the entries;
// finer steps would add little spacing for their cost.
constexpr std::size_t spacingDivisors[] = {1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 48, 64};
// Blocks of samples stay within 256 entries (2 KiB of samples), so that a block is one or two
// pages and one positioned read.
constexpr std::size_t maxBlockEntries = 256;
// Blocks look at no more than an eighth of the haystack: past that, a memchr scan of all of it
// costs less than the lookups.
constexpr std::size_t maxSampledShare = 8;

std::size_t informativeCount(std::span<const std::uint8_t> flags) {
    return static_cast<std::size_t>(std::count(flags.begin(), flags.end(), std::uint8_t{1}));
}

// The spacing tried for needles of `entries` entries with one of spacingDivisors, within the
// limit.
std::size_t spacingFor(std::size_t entries, std::size_t divisor, const PlanLimits& limits) {
    const std::size_t spacing = divisor == 1 ? entries : (entries / divisor) | 1;
    return std::min(spacing, limits.maxSpacingEntries | 1);
}

SamplingPlan oneEntryBlocks(std::size_t spacingEntries) {
    return {spacingEntries, 1, 0};
}

// The plan at one spacing that suits every part, or nothing.
std::optional<SharedPlan> planAt(std::span<const IndexedPart> parts,
                                 std::span<const std::size_t> informative, std::size_t spacing) {
    SharedPlan trial{oneEntryBlocks(spacing), {}};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        // Each run of blockEntries classes needs an informative entry of its own.
        const auto plan = spacing > informative[i] * maxBlockEntries
                              ? std::nullopt
                              : planWithSpacing(parts[i].informative, spacing);
        if (!plan)
            return std::nullopt;
        trial.plan.blockEntries = std::max(trial.plan.blockEntries, plan->blockEntries);
        trial.lagBytes.push_back(plan->lagBytes);
    }
    return trial;
}

} // namespace

// The first informative entry of each class, and the longest run of classes (around the end and
// back) that have none.
std::optional<SamplingPlan> planWithSpacing(std::span<const std::uint8_t> informative,
                                            std::size_t spacingEntries) {
    constexpr auto none = std::numeric_limits<std::size_t>::max();
    // The first informative entry of class c is the first at c, c + spacing, ...: a class
    // without one in the first round has none later only if all its entries are repeated.
    std::size_t longestGap = 0, lastFirst = 0, firstGap = none, gap = 0;
    const std::size_t longestAllowed = std::min(spacingEntries, maxBlockEntries);
    for (std::size_t inClass = 0; inClass < spacingEntries; ++inClass) {
        std::size_t first = none;
        for (std::size_t entry = inClass; entry < informative.size(); entry += spacingEntries)
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
        if (longestGap >= longestAllowed)
            return std::nullopt;
    }
    if (firstGap == none)
        return std::nullopt;
    longestGap = std::max(longestGap, gap + firstGap); // the run around the end and back
    if (longestGap >= longestAllowed || (longestGap + 1) * maxSampledShare > spacingEntries)
        return std::nullopt;
    return SamplingPlan{spacingEntries, longestGap + 1, bytesOfEntries(lastFirst + 1)};
}

bool cheaper(const SamplingPlan& a, const SamplingPlan& b, std::size_t blockCost) {
    const auto perBlock = [&](const SamplingPlan& plan) {
        return blockCost + bytesOfEntries(plan.blockEntries);
    };
    return perBlock(a) * b.spacingEntries < perBlock(b) * a.spacingEntries;
}

std::optional<SharedPlan> planShared(std::span<const IndexedPart> parts, const PlanLimits& limits) {
    const std::size_t fewest = fewestEntries(parts);
    std::vector<std::size_t> informative;
    for (const IndexedPart& part : parts)
        informative.push_back(informativeCount(part.informative));
    // The spacings tried, widest first, none over the limit (which is tried in their place).
    std::vector<std::size_t> spacings;
    for (const std::size_t divisor : spacingDivisors) {
        const std::size_t spacing = spacingFor(fewest, divisor, limits);
        if (spacings.empty() || spacing < spacings.back())
            spacings.push_back(spacing);
    }
    std::optional<SharedPlan> best;
    for (const std::size_t spacing : spacings) {
        // Spacings are tried widest first: once even one-entry blocks at this one would cost
        // more than the best plan, so would every narrower one.
        if (spacing == 0 ||
            (best && !cheaper(oneEntryBlocks(spacing), best->plan, limits.blockCost)))
            break;
        auto trial = planAt(parts, informative, spacing);
        if (trial && (!best || cheaper(trial->plan, best->plan, limits.blockCost)))
            best = std::move(trial);
    }
    return best;
}

std::vector<std::size_t> unsuited(std::span<const IndexedPart> parts, const PlanLimits& limits) {
    // Those that fail at the narrowest spacing tried fail at every one.
    const std::size_t spacing =
        spacingFor(fewestEntries(parts), spacingDivisors[std::size(spacingDivisors) - 1], limits);
    std::vector<std::size_t> failing;
    for (std::size_t i = 0; i < parts.size(); ++i)
        if (!planWithSpacing(parts[i].informative, std::max<std::size_t>(spacing, 1)))
            failing.push_back(i);
    return failing;
}

std::size_t fewestEntries(std::span<const IndexedPart> parts) {
    std::size_t fewest = std::numeric_limits<std::size_t>::max();
    for (const IndexedPart& part : parts)
        fewest = std::min(fewest, part.informative.size());
    return fewest;
}

std::optional<SamplingPlan> planSampling(const IndexedPart& part, const PlanLimits& limits) {
    const auto shared = planShared(std::span(&part, 1), limits);
    return shared ? std::optional<SamplingPlan>(shared->plan) : std::nullopt;
}

} // namespace dyeloom::search_stages
