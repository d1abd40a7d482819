// How the search reaches a haystack that lives in a file.
#pragma once

#include "bytes.hpp"

#include <span>

namespace dyeloom {

// Serves a search whose haystack is a file's mapping. Touching a page of a mapping the first
// time costs a page fault, and a read from the disk if the page is not cached; told ahead of
// time which parts the search will read, the file's owner can have them read together, and
// small samples can be copied out with positioned reads, which cost less than a fault. The
// search's results never depend on it.
class HaystackReader {
public:
    virtual ~HaystackReader() = default;
    // Each part is a span of the haystack that will be read soon, in about this order.
    virtual void willRead(std::span<const Bytes> parts) = 0;
    // Copies `part`, a span of the haystack, into `into` (of the same size) without touching
    // the haystack's pages. False when it cannot; the search then reads `part` itself.
    virtual bool copy(Bytes part, MutableBytes into) = 0;
};

} // namespace dyeloom
