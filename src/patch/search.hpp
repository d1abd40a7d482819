// Exact search for one byte string inside another.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <optional>

namespace dyeloom {

// The lowest index at which `needle` occurs in `haystack`, or nothing. An empty needle is
// never found. Linear in the haystack's length on every input, and on ordinary data it reads
// only a small part of it.
std::optional<std::size_t> findFirst(Bytes haystack, Bytes needle);

} // namespace dyeloom
