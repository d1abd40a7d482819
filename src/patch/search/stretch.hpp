// A stretch: the candidate offsets a search settles before it moves on.
#pragma once

#include "bytes.hpp"
#include "haystack_reader.hpp"

#include <cstddef>
#include <span>

namespace dyeloom::search_stages {

// Candidate offsets `first` to `last` (inclusive) of a needle: both are offsets at which the
// whole needle fits in the haystack.
struct Stretch {
    std::size_t first = 0;
    std::size_t last = 0;
};

// Tells `reader` (may be null) that `part` is read next.
inline void announce(HaystackReader* reader, Bytes part) {
    if (reader != nullptr)
        reader->willRead(std::span(&part, 1));
}

} // namespace dyeloom::search_stages
