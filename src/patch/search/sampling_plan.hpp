// Where the sampling looks, and what that costs: pure functions of a needle's informative
// entries, in entries throughout (bytesOfEntries converts).
//
// Blocks of samples start every `spacingEntries` entries of the haystack; each holds
// `blockEntries` consecutive samples, one an entry. The coverage rule: a candidate offset p of a
// needle meets, in the blocks, the entries of blockEntries consecutive classes of the needle,
// where entry e is of class e mod spacingEntries; for every p to be met by an informative gram,
// every run of blockEntries consecutive classes (around the end and back) must hold a class with
// an informative entry.
//
// A worked example: 12 entries, informative at 1, 5 and 6 (flags 0100 0110 0000), spacing 4.
// Class 0 holds entries 0, 4, 8: none informative. Class 1 holds 1 (informative), class 2 holds
// 6, class 3 holds nothing informative (3, 7, 11). The longest run of classes without one is
// class 3 then class 0 (around the end), two long, so blocks of three entries meet an informative
// entry of every candidate; the last class's first informative entry is 6, so a block meets a
// candidate at most 7 entries past it (the lag). Such a plan is still refused: blocks of three
// entries every four look at three quarters of the haystack, and a scan costs less.
#pragma once

#include "search/informative_entries.hpp"

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

struct SamplingPlan {
    std::size_t spacingEntries = 0;
    std::size_t blockEntries = 1;
    // How far past a candidate the first block that meets it can lie.
    std::size_t lagBytes = 0;
};

// Sampling is given up for a scan when blocks would start less than this far apart: a memchr
// scan then reads about as much and costs less per byte.
inline constexpr std::size_t minSpacingBytes = 256;

// What a block costs beside its samples, counted in lookups of a sample (about 20 ns each). A
// block whose page must be read on its own costs that read: 1 us for a cached page copied out
// with a positioned read, up to 15 us from the disk. Where the whole haystack is read anyway
// (a needle is scanned, or sampled densely enough to touch every page), only the loop's own
// work and the hand-over to the reader remain. A plan's cost per haystack byte is
// (this + its samples per block) / its spacing.
inline constexpr std::size_t uncachedBlockCost = 512;
inline constexpr std::size_t readBlockCost = 16;

// What plans may be made: what a block costs, and how far apart blocks may lie. A group's table
// holds up to one entry a class of each needle: its spacing bounds the table.
struct PlanLimits {
    std::size_t blockCost = uncachedBlockCost;
    std::size_t maxSpacingEntries = std::numeric_limits<std::size_t>::max();
};

// The plan with blocks `spacingEntries` apart for a needle whose entries are informative where
// `informative` says, or nothing if some run of classes would have no informative entry, or
// the blocks would be too long.
[[nodiscard]] std::optional<SamplingPlan> planWithSpacing(std::span<const std::uint8_t> informative,
                                                          std::size_t spacingEntries);

// Whether plan `a` costs less per haystack byte than plan `b`.
[[nodiscard]] bool cheaper(const SamplingPlan& a, const SamplingPlan& b,
                           std::size_t blockCost = uncachedBlockCost);

// The cheapest plan whose spacing meets every candidate of every part, and each part's lag,
// in order; nothing if no spacing tried suits them all.
struct SharedPlan {
    SamplingPlan plan;
    std::vector<std::size_t> lagBytes;
};
[[nodiscard]] std::optional<SharedPlan> planShared(std::span<const IndexedPart> parts,
                                                   const PlanLimits& limits);

// The parts (their positions in `parts`) that no spacing planShared tries suits.
[[nodiscard]] std::vector<std::size_t> unsuited(std::span<const IndexedPart> parts,
                                                const PlanLimits& limits);

// The fewest entries of any part: the smallest part bounds a shared spacing.
[[nodiscard]] std::size_t fewestEntries(std::span<const IndexedPart> parts);

// The cheapest plan for one needle's part, or nothing.
[[nodiscard]] std::optional<SamplingPlan> planSampling(const IndexedPart& part,
                                                       const PlanLimits& limits = {});

} // namespace dyeloom::search_stages
