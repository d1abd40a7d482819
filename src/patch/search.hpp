// Exact search for one byte string inside another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace dyeloom {

// The lowest index at which `needle` occurs in `haystack`, or nothing. An empty needle is
// never found.
std::optional<std::size_t> findFirst(std::span<const std::uint8_t> haystack,
                                     std::span<const std::uint8_t> needle);

} // namespace dyeloom
