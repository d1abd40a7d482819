// Exact search for one byte string inside another.
#pragma once

#include "bytes.hpp"
#include "haystack_reader.hpp"

#include <cstddef>
#include <optional>

namespace dyeloom {

// The lowest index at which `needle` occurs in `haystack`, or nothing. An empty needle is
// never found. Linear in the haystack's length on every input; on ordinary data it reads only
// a small part of it. A haystack that lives in a file is best read through `reader`.
std::optional<std::size_t> findFirst(Bytes haystack, Bytes needle,
                                     HaystackReader* reader = nullptr);

} // namespace dyeloom
