// Grams, entries and fingerprints: the words every stage of the sampled search is written in.
//
// A needle's entries are its positions a word (entryBytes) apart; the gram at an entry is the
// gramBytes bytes that start there. A fingerprint is a 64-bit hash of a gram that rolls: the
// gram a word further on gets its fingerprint from the one before, at the cost of two
// multiplications whatever the gram's length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dyeloom::search_stages {

// The distance between entries. A word: each roll of a fingerprint takes one word out and one in.
inline constexpr std::size_t entryBytes = 8;

[[nodiscard]] constexpr std::size_t bytesOfEntries(std::size_t entries) {
    return entries * entryBytes;
}

[[nodiscard]] inline std::uint64_t load64(const std::uint8_t* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// A run of one byte, or a repeated 2-, 4- or 8-byte pattern: what blank areas, flat colours and
// repeated compressed blocks look like.
[[nodiscard]] inline bool isShortRepetition(const std::uint8_t* gram, std::size_t gramBytes) {
    for (const std::size_t period : {1, 2, 4, 8})
        if (period < gramBytes && gram[0] == gram[period] &&
            std::memcmp(gram, gram + period, gramBytes - period) == 0)
            return true;
    return false;
}

// The top `bits` bits of a Fibonacci-style product: spreads fingerprints over 2^bits slots.
[[nodiscard]] inline std::size_t topBits(std::uint64_t value, std::uint64_t multiplier,
                                         unsigned bits) {
    return static_cast<std::size_t>((value * multiplier) >> (64 - bits));
}

// Sets, and tests, one bit of a bit set held in 64-bit words.
inline void setBit(std::uint64_t* words, std::size_t bit) {
    words[bit / 64] |= std::uint64_t{1} << (bit % 64);
}
[[nodiscard]] inline bool testBit(const std::uint64_t* words, std::size_t bit) {
    return (words[bit / 64] >> (bit % 64) & 1) != 0;
}

// A gram's fingerprint: a polynomial over its words, summed term by term so that the
// multiplications do not wait on one another, and rolled along a text a word at a time (one word
// leaves the polynomial and one joins it).
class GramPrint {
public:
    // The multiplier of a Fibonacci hash: it weighs the words, and spreads grams over slots.
    static constexpr std::uint64_t multiplier = 0x9E3779B97F4A7C15ull;
    // Another odd multiplier (from splitmix64), so that presence bits and slots fall
    // independently.
    static constexpr std::uint64_t presenceMultiplier = 0xBF58476D1CE4E5B9ull;

    // Grams of `gramBytes`, a multiple of 8 up to 128.
    explicit GramPrint(std::size_t gramBytes = 8) : gramBytes_(gramBytes) {
        for (std::size_t word = 1; word < gramBytes / 8; ++word)
            powers_[word] = powers_[word - 1] * multiplier;
        leadingPower_ = powers_[gramBytes / 8 - 1];
    }

    [[nodiscard]] std::size_t gramBytes() const noexcept { return gramBytes_; }
    [[nodiscard]] std::uint64_t of(const std::uint8_t* gram) const {
        const std::size_t words = gramBytes_ / 8;
        std::uint64_t print = 0;
        for (std::size_t word = 0; word < words; ++word)
            print += load64(gram + 8 * word) * powers_[words - 1 - word];
        return print;
    }
    // The fingerprint of the gram a word after `gram`, from that of `gram`.
    [[nodiscard]] std::uint64_t next(std::uint64_t print, const std::uint8_t* gram) const {
        return (print - load64(gram) * leadingPower_) * multiplier + load64(gram + gramBytes_);
    }

private:
    std::size_t gramBytes_;
    std::array<std::uint64_t, 16> powers_{1}; // the weight of each word, last word first
    std::uint64_t leadingPower_ = 1;          // the weight of a gram's first word
};

} // namespace dyeloom::search_stages
