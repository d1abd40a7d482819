// CRC-32C (Castagnoli), the checksum that guards the journal against a torn or partial write.
#pragma once

#include "bytes.hpp"

#include <cstdint>

namespace dyeloom {

// The checksum of `bytes` continued from `crc`, the checksum of what came before them (0 for
// none): crc32c(b, crc32c(a)) == crc32c(a followed by b).
std::uint32_t crc32c(Bytes bytes, std::uint32_t crc = 0);

} // namespace dyeloom
