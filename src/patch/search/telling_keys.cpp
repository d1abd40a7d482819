#include "search/telling_keys.hpp"

#include <algorithm>
#include <array>

namespace dyeloom::search_stages {
namespace {

// Compressed texture blocks are 8 or 16 bytes: a key equal to the one a block or two away is
// part of a run of like blocks (flat colour), which occurs all over an archive. A key that
// repeats itself at a shorter period is a blank or a flat row: a byte, a pixel of two, three or
// four bytes, two pixels, or a block.
constexpr std::size_t blockBytes[] = {8, 16};
constexpr std::size_t shortPeriods[] = {1, 2, 3, 4, 6, 8};
// A key mostly of one byte value is padding or a blank row more often than not.
constexpr std::size_t dominantByteCount = keyBytes / 2 + 1;

} // namespace

void TellingKeys::findEqualRuns(Bytes bytes) {
    for (std::size_t k = 0; k < std::size(periods); ++k) {
        auto& runEnd = runEnd_[k];
        runEnd.resize(bytes.size() + 1);
        runEnd[bytes.size()] = static_cast<std::uint32_t>(bytes.size());
        for (std::size_t j = bytes.size(); j-- > 0;)
            runEnd[j] = j + periods[k] < bytes.size() && bytes[j] == bytes[j + periods[k]]
                            ? runEnd[j + 1]
                            : static_cast<std::uint32_t>(j);
    }
}

bool TellingKeys::repeats(std::size_t at) const {
    for (std::size_t k = 0; k < std::size(shortPeriods); ++k)
        if (equalOn(k, at, keyBytes - periods[k]))
            return true;
    for (const std::size_t block : blockBytes) {
        const std::size_t k = static_cast<std::size_t>(
            std::find(std::begin(periods), std::end(periods), block) - std::begin(periods));
        if (equalOn(k, at, keyBytes) || (at >= block && equalOn(k, at - block, keyBytes)))
            return true;
    }
    return false;
}

KeyRun TellingKeys::longestRun(Bytes needle, std::size_t prefix, std::size_t enough) {
    const Bytes bytes = needle.first(std::min(needle.size(), prefix + lookAheadBytes));
    findEqualRuns(bytes);
    std::array<std::uint8_t, 256> counts{};
    std::size_t dominant = 0; // byte values filling most of the key
    const auto add = [&](std::uint8_t byte) { dominant += ++counts[byte] == dominantByteCount; };
    const auto drop = [&](std::uint8_t byte) { dominant -= counts[byte]-- == dominantByteCount; };
    for (std::size_t i = 0; i < keyBytes; ++i)
        add(bytes[i]);
    KeyRun best;
    const std::size_t positions = std::min(bytes.size() - keyBytes + 1, prefix);
    for (std::size_t at = 0, runStart = 0; at < positions; ++at) {
        if (at > 0) {
            drop(bytes[at - 1]);
            add(bytes[at + keyBytes - 1]);
        }
        if (dominant > 0 || repeats(at)) {
            runStart = at + 1;
        } else if (at + 1 - runStart > best.length) {
            best = {at + 1 - runStart, runStart};
            if (best.length >= enough)
                break;
        }
    }
    return best;
}

} // namespace dyeloom::search_stages
