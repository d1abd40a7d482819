// Synthetic DDS-like textures and archives for the demo and the benchmarks: a 128-byte header
// that starts with "DDS ", then pseudo-random pixel data; archives are entries padded to 2 KiB.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace dyeloom::tools {

using ByteBuffer = std::vector<std::uint8_t>;

constexpr std::size_t ddsHeaderBytes = 128;
constexpr std::size_t entryAlignment = 2048;

inline ByteBuffer ddsHeader(std::uint32_t width, std::uint32_t height, std::uint32_t tag) {
    ByteBuffer header(ddsHeaderBytes, 0);
    const std::uint32_t fields[] = {0x20534444 /* "DDS " */, 124, 0x1007, height, width, tag};
    for (std::size_t i = 0; i < std::size(fields); ++i)
        for (std::size_t b = 0; b < 4; ++b)
            header[i * 4 + b] = static_cast<std::uint8_t>(fields[i] >> (8 * b));
    return header;
}

inline void appendRandom(ByteBuffer& into, std::size_t size, std::mt19937_64& rng) {
    const std::size_t start = into.size();
    into.resize(start + size);
    for (std::size_t i = start; i < into.size(); i += 8) {
        const std::uint64_t word = rng();
        for (std::size_t b = 0; b < 8 && i + b < into.size(); ++b)
            into[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
}

inline ByteBuffer ddsTexture(std::size_t dataBytes, std::uint32_t tag, std::mt19937_64& rng) {
    ByteBuffer texture = ddsHeader(256, static_cast<std::uint32_t>(dataBytes / 1024), tag);
    appendRandom(texture, dataBytes, rng);
    return texture;
}

inline ByteBuffer concat(ByteBuffer first, const ByteBuffer& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

inline void padTo(ByteBuffer& archive, std::size_t alignment) {
    archive.resize((archive.size() + alignment - 1) / alignment * alignment, 0);
}

} // namespace dyeloom::tools
