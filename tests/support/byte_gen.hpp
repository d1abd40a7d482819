// Byte strings for tests: concatenation, and byte strings built to stress a substring search: small
// alphabets, periodic runs, zero runs and near-copies of the needle, so that partial matches and
// overlaps are common.
#pragma once

#include "file_view.hpp"

#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace dyeloom::test {

using dyeloom::ByteBuffer;

inline ByteBuffer concat(std::initializer_list<ByteBuffer> parts) {
    ByteBuffer all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class ByteGen {
public:
    explicit ByteGen(std::uint64_t seed) : rng_(seed) {}

    std::size_t below(std::size_t bound) {
        return bound == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_);
    }

    ByteBuffer random(std::size_t size, unsigned alphabet = 256) {
        ByteBuffer bytes(size);
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(below(alphabet));
        return bytes;
    }

    // One of several shapes, chosen at random.
    ByteBuffer shaped(std::size_t size) {
        switch (below(4)) {
        case 0:
            return random(size, 2 + static_cast<unsigned>(below(3)));
        case 1: { // a short period repeated, with rare flipped bytes
            ByteBuffer period = random(1 + below(6), 3);
            ByteBuffer bytes(size);
            for (std::size_t i = 0; i < size; ++i)
                bytes[i] = below(50) == 0 ? static_cast<std::uint8_t>(below(3))
                                          : period[i % period.size()];
            return bytes;
        }
        case 2: { // zero runs broken by a few values
            ByteBuffer bytes(size, 0);
            for (std::size_t i = 0; i < size / 16 + 1 && size > 0; ++i)
                bytes[below(size)] = static_cast<std::uint8_t>(1 + below(3));
            return bytes;
        }
        default:
            return random(size);
        }
    }

    // Copies `needle`, or a near-copy of it (one byte changed, or cut short), into `into` at
    // `at` as far as it fits.
    void plant(ByteBuffer& into, std::span<const std::uint8_t> needle, std::size_t at, bool exact) {
        ByteBuffer copy(needle.begin(), needle.end());
        if (!exact && !copy.empty()) {
            if (below(2) == 0)
                copy[below(copy.size())] ^= static_cast<std::uint8_t>(1 + below(255));
            else
                copy.resize(below(copy.size()));
        }
        for (std::size_t i = 0; i < copy.size() && at + i < into.size(); ++i)
            into[at + i] = copy[i];
    }

private:
    std::mt19937_64 rng_;
};

} // namespace dyeloom::test
