// The byte order of every number in the files Dyeloom writes: little-endian, whatever the
// machine's, written and read a byte at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dyeloom {

inline void putLittleEndian(std::uint8_t* at, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint64_t getLittleEndian(const std::uint8_t* at, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        value |= std::uint64_t{at[i]} << (8 * i);
    return value;
}

} // namespace dyeloom
