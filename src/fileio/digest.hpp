// A 64-bit digest of bytes that arrive in pieces (the XXH64 function), to tell whether a file read
// twice gave the same bytes both times without holding the first reading: a texture's bytes are
// searched for in one pass and written in another.
#pragma once

#include "bytes.hpp"

#include <array>
#include <cstdint>

namespace dyeloom {

class Digest {
public:
    // Adds `bytes` after what was added before: the value depends on the bytes and their order,
    // not on how they were cut into pieces.
    void add(Bytes bytes) noexcept;
    [[nodiscard]] std::uint64_t value() const noexcept;

    static std::uint64_t of(Bytes bytes) noexcept {
        Digest digest;
        digest.add(bytes);
        return digest.value();
    }

private:
    static constexpr std::size_t stripeBytes = 32;
    void addStripe(const std::uint8_t* stripe) noexcept;

    std::array<std::uint64_t, 4> lanes_{0x60EA27EEADC0B5D6ull, 0xC2B2AE3D27D4EB4Full, 0,
                                        0x61C8864E7A143579ull};
    std::array<std::uint8_t, stripeBytes> pending_{}; // bytes of a stripe not yet complete
    std::size_t pendingBytes_ = 0;
    std::uint64_t length_ = 0;
};

} // namespace dyeloom
