// The byte views every layer passes around: bytes that are only read, and bytes to fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dyeloom {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// A memory page of the systems Dyeloom runs on: the unit in which files are mapped, read ahead
// and cached.
inline constexpr std::size_t pageBytes = 4096;

// Bytes owned in memory.
using ByteBuffer = std::vector<std::uint8_t>;

} // namespace dyeloom
