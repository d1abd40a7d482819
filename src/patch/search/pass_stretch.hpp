// Settling one stretch for the needles of the pass: the stretch walked once, at the narrowest
// stride; the key at each position looked up once in the table of every stride it is a multiple
// of, each candidate verified against its needle.
#pragma once

#include "search/needle_state.hpp"
#include "search/pass_table.hpp"
#include "search/rare_byte.hpp"
#include "search/stretch.hpp"

#include <cstddef>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

// The needles probed at one stride, and their table.
struct PassGroup {
    std::size_t stride = 0;
    std::vector<std::size_t> members;
    PassTable table;
};

// What a pass group's stretch needs of the batch.
struct PassNeedles {
    std::span<const Bytes> bytes;
    std::span<const PassWindow> windows;
    std::vector<RareByteSearch>& scans; // where verifying a needle costs too much
    const std::vector<NeedleOutcome>& outcomes;
    NeedleSink& sink;
};

// Settles `stretch` for the members of `groups` (strides ascending) not yet done, telling the
// sink of each one found, or known absent once the stretch reaches its last candidate.
void passStretch(std::span<const PassGroup> groups, const Haystack& haystack,
                 const PassNeedles& needles, Stretch stretch);

} // namespace dyeloom::search_stages
