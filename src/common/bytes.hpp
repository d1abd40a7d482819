// The byte views every layer passes around: bytes that are only read, and bytes to fill.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace dyeloom {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// Bytes owned in memory.
using ByteBuffer = std::vector<std::uint8_t>;

} // namespace dyeloom
