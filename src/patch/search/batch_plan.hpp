// A batch's sampling: its needles in groups whose own plans are alike, each group sampled on its
// own, so that the batch costs about what its hardest member costs alone. Needles in no group
// are scanned.
#pragma once

#include "bytes.hpp"
#include "search/sampled_group.hpp"

#include <cstddef>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

[[nodiscard]] std::vector<SampledGroup> planGroups(std::span<const Bytes> needles);

// How many bytes of each needle a batch of `needles` sampled needles indexes, and how far apart
// its blocks may lie.
[[nodiscard]] std::size_t indexedWindowFor(std::size_t needles);
[[nodiscard]] std::size_t maxSpacingEntriesFor(std::size_t needles);

// The heap the groups' tables and the needles' indexes take at most, whatever the batch, and what
// a needle of `needleBytes` adds to it.
[[nodiscard]] std::size_t groupsHeapBytes() noexcept;
[[nodiscard]] std::size_t groupsHeapPerNeedle(std::size_t needleBytes) noexcept;

} // namespace dyeloom::search_stages
