// Keys and which of them tell much about a texture: the bytes one probe of the archive reads, and
// the test that keeps blank rows, flat colour and repeated blocks out of the keys looked up.
#pragma once

#include "bytes.hpp"
#include "search/gram_print.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace dyeloom::search_stages {

// The bytes a probe reads: two words, as long as the largest compressed texture block, so that a
// key holds a block's colours wherever it starts (an opaque texture's alpha block alone says
// nothing about it).
inline constexpr std::size_t keyBytes = 16;

// The two words of the key at `bytes` in one: keys that differ almost always differ here, and
// a candidate is verified anyway.
[[nodiscard]] inline std::uint64_t keyAt(const std::uint8_t* bytes) {
    return load64(bytes) * 0xFF51AFD7ED558CCDull ^ load64(bytes + 8);
}

// How far past a position the telling test looks: a key and the block after it.
inline constexpr std::size_t lookAheadBytes = 2 * keyBytes;

// A run of consecutive positions whose keys all tell.
struct KeyRun {
    std::size_t length = 0;
    std::size_t start = 0;
};

// The telling keys of a needle's first bytes. The checks for repetition are runs of bytes equal
// to the ones a period on, found once for all positions; the check for one byte value counts
// the bytes of a key as it slides.
class TellingKeys {
public:
    // The longest run of telling keys among the positions of the first `prefix` bytes, and
    // where it starts: the earliest of equals, or the first as long as `enough`.
    [[nodiscard]] KeyRun longestRun(Bytes needle, std::size_t prefix, std::size_t enough);

private:
    static constexpr std::size_t periods[] = {1, 2, 3, 4, 6, 8, 16}; // the short ones first

    void findEqualRuns(Bytes bytes);
    // Whether each byte from `from` on, `count` of them, equals the one `period` further on.
    [[nodiscard]] bool equalOn(std::size_t periodIndex, std::size_t from, std::size_t count) const {
        return runEnd_[periodIndex][from] >= from + count;
    }
    [[nodiscard]] bool repeats(std::size_t at) const;

    // For each period, where the run of bytes equal to the ones a period on that holds each
    // position ends.
    std::vector<std::uint32_t> runEnd_[std::size(periods)];
};

} // namespace dyeloom::search_stages
