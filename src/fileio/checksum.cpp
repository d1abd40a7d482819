#include "checksum.hpp"

#include <array>

namespace dyeloom {
namespace {

constexpr std::uint32_t castagnoliReversed = 0x82F63B78;

// Eight tables, so that eight bytes are folded in per step ("slicing by 8"): about six times
// the speed of a byte at a time, a few gigabytes a second, without processor-specific code.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables makeTables() {
    Tables tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1) ? castagnoliReversed : 0);
        tables[0][byte] = crc;
    }
    for (std::size_t slice = 1; slice < 8; ++slice)
        for (std::size_t byte = 0; byte < 256; ++byte) {
            const std::uint32_t previous = tables[slice - 1][byte];
            tables[slice][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    return tables;
}

constexpr Tables tables = makeTables();

} // namespace

std::uint32_t crc32c(Bytes bytes, std::uint32_t crc) {
    crc = ~crc;
    const std::uint8_t* at = bytes.data();
    std::size_t left = bytes.size();
    for (; left >= 8; left -= 8, at += 8) {
        const std::uint32_t low = crc ^ (std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 |
                                         std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24);
        crc = tables[7][low & 0xFF] ^ tables[6][(low >> 8) & 0xFF] ^ tables[5][(low >> 16) & 0xFF] ^
              tables[4][low >> 24] ^ tables[3][at[4]] ^ tables[2][at[5]] ^ tables[1][at[6]] ^
              tables[0][at[7]];
    }
    for (; left > 0; --left, ++at)
        crc = (crc >> 8) ^ tables[0][(crc ^ *at) & 0xFF];
    return ~crc;
}

} // namespace dyeloom
