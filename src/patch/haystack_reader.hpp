// How the search reaches a haystack that lives in a file.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <span>

namespace dyeloom {

// What a search will read of a haystack: its needle's length, and where it samples: a block of
// `blockBytes` every `spacingBytes` (0: it reads every byte).
struct SearchGeometry {
    std::size_t needleBytes = 0;
    std::size_t spacingBytes = 0;
    std::size_t blockBytes = 0;
};

// Serves a search whose haystack is a file's mapping. Touching a page of a mapping the first
// time costs a page fault, and a read from the disk if the page is not cached; told ahead of
// time which parts the search will read, the file's owner can have them read together, small
// samples can be copied out with positioned reads, and whole stretches read in order with large
// reads where that costs less than reading their samples one by one. The search's results never
// depend on it.
class HaystackReader {
public:
    virtual ~HaystackReader() = default;
    // Each part is a span of the haystack that will be read soon, in about this order.
    virtual void willRead(std::span<const Bytes> parts) = 0;
    // Copies `part`, a span of the haystack, into `into` (of the same size) without touching
    // the haystack's pages. False when it cannot; the search then reads `part` itself.
    virtual bool copy(Bytes part, MutableBytes into) = 0;
    // How many candidate offsets from `from` on the search settles before it asks again: the
    // reader plans how to read each such stretch. Asked in ascending order of `from`, each time
    // the last stretch is settled; the answer is at least 1.
    virtual std::size_t nextStretch(std::size_t from, const SearchGeometry& geometry) = 0;
};

} // namespace dyeloom
