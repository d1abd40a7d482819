// The needles no group samples: one scan of each stretch, shared by all of them.
#pragma once

#include "search/needle_state.hpp"
#include "search/rare_byte.hpp"

#include <cstddef>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

// Anchors each of the `scanned` needles on its byte rarest in the haystack, judged from a few
// pieces of it: that anchor makes the fewest stops (in texture archives a byte rare in one
// texture is often common in the others).
void anchorScans(Bytes haystack, std::span<const std::size_t> scanned,
                 std::vector<RareByteSearch>& scans);

// Settles `stretch` for the `scanned` needles not yet done, telling `sink` of each one settled.
// The stretch is taken a chunk at a time, and every needle scans the chunk while it is in the
// processor's cache, so that the bytes come from memory once however many needles there are.
void scanStretch(const Haystack& haystack, Stretch stretch, std::vector<std::size_t> scanned,
                 std::vector<RareByteSearch>& scans, const std::vector<NeedleOutcome>& outcomes,
                 NeedleSink& sink);

} // namespace dyeloom::search_stages
