#include "search/sampled_group.hpp"

#include <algorithm>
#include <optional>

namespace dyeloom::search_stages {

SampledGroup::SampledGroup(std::span<const Bytes> needles, std::vector<IndexedPart> parts,
                           std::size_t gramBytes, std::size_t windowBytes, const PlanLimits& limits)
    : limits_(limits), windowBytes_(windowBytes), sampled_(needles.size(), 0),
      boundsSpacing_(needles.size(), 0), lagBytes_(needles.size(), 0), table_(gramBytes) {
    // A part that no shared spacing suits leaves its needle to the scan.
    auto shared = parts.empty() ? std::nullopt : planShared(parts, limits);
    while (!parts.empty() && !shared) {
        const auto failing = unsuited(parts, limits);
        if (failing.empty())
            break;
        for (auto at = failing.rbegin(); at != failing.rend(); ++at)
            parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(*at));
        shared = parts.empty() ? std::nullopt : planShared(parts, limits);
    }
    if (!shared || bytesOfEntries(shared->plan.spacingEntries) < minSpacingBytes)
        return;
    plan_ = shared->plan;
    const std::size_t fewest = fewestEntries(parts);
    boundingPartBytes_ = bytesOfEntries(fewest);
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const std::size_t i = parts[k].needle;
        sampled_[i] = 1;
        boundsSpacing_[i] = parts[k].informative.size() == fewest ? 1 : 0;
        // A candidate meets the part's grams this much further on.
        lagBytes_[i] = shared->lagBytes[k] + parts[k].from;
    }
    table_.build(needles, parts, plan_.spacingEntries);
}

} // namespace dyeloom::search_stages
