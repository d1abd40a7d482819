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

// The search's fallback stages on their own, so tests can hold each to the same answers.
namespace search_stages {
// Rare-byte scan, handing over to Two-Way when its hits cost too much to verify.
std::optional<std::size_t> findUnsampled(std::span<const std::uint8_t> haystack,
                                         std::span<const std::uint8_t> needle);
// Two-Way alone.
std::optional<std::size_t> findTwoWay(std::span<const std::uint8_t> haystack,
                                      std::span<const std::uint8_t> needle);
} // namespace search_stages

} // namespace dyeloom
