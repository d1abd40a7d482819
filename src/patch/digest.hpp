// A 128-bit digest of bytes that arrive in pieces (XXH3-128, from the xxHash library): a
// texture is known by its length and this digest, and a span of the archive is taken for the
// texture only when its bytes have the same one. At 128 bits, two different spans share a digest
// by chance far less often than the disk returns a wrong byte.
#pragma once

#include "bytes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace dyeloom {

struct Digest128 {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    bool operator==(const Digest128&) const = default;
};

class Digest {
public:
    Digest() noexcept;
    Digest(const Digest&) noexcept;
    Digest& operator=(const Digest&) noexcept;

    // Adds `bytes` after what was added before: the value depends on the bytes and their order,
    // not on how they were cut into pieces.
    void add(Bytes bytes) noexcept;
    [[nodiscard]] Digest128 value() const noexcept;

    [[nodiscard]] static Digest128 of(Bytes bytes) noexcept;

private:
    // The library's streaming state, kept here so that no caller sees the library's header.
    static constexpr std::size_t stateBytes = 576;
    alignas(64) std::array<std::byte, stateBytes> state_;
};

} // namespace dyeloom
