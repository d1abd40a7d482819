#include "search/pass_window.hpp"

#include "search/gram_print.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

namespace dyeloom::search_stages {
namespace {

// Strides below this probe so densely that a scan of the needle's rarest byte costs about as
// much; above widestStride a needle's keys cost more table than its probes save.
constexpr std::size_t minPassStride = 16;
constexpr std::size_t widestStride = 1024;
// A stride this wide makes the pass beat scanning for a needle, as does a stride of a quarter
// of a short needle's length (a scan stops at its rarest byte about that often).
constexpr std::size_t enoughStride = 256;
// The pass's tables keep at most this many keys in all (two slots of 16 bytes each, 32 MiB, or
// up to twice that rounded to a power of two), so a mod of thousands of textures gets narrower
// strides rather than a larger table.
constexpr std::size_t passTableBudgetKeys = std::size_t{1} << 20;
// Compressed texture blocks are 8 or 16 bytes: a key equal to the one a block or two away is
// part of a run of like blocks (flat colour), which occurs all over an archive. A key that
// repeats itself at a shorter period is a blank or a flat row: a byte, a pixel of two, three or
// four bytes, two pixels, or a block.
constexpr std::size_t blockBytes[] = {8, 16};
constexpr std::size_t shortPeriods[] = {1, 2, 3, 4, 6, 8};
// A key mostly of one byte value is padding or a blank row more often than not.
constexpr std::size_t dominantByteCount = keyBytes / 2 + 1;
// A needle's window is looked for in its first bytes, this far.
constexpr std::size_t windowSearchBytes = std::size_t{4} << 10;
// How far past a position its checks look: a key and the block after it.
constexpr std::size_t lookAheadBytes = 2 * keyBytes;

// The telling keys of a needle's first bytes. The checks for repetition are runs of bytes equal
// to the ones a period on, found once for all positions; the check for one byte value counts
// the bytes of a key as it slides.
class TellingKeys {
public:
    // The longest run of telling keys among the positions of the first `prefix` bytes, and
    // where it starts: the earliest of equals, or the first as long as `enough`.
    [[nodiscard]] PassWindow longestRun(Bytes needle, std::size_t prefix, std::size_t enough);

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

PassWindow TellingKeys::longestRun(Bytes needle, std::size_t prefix, std::size_t enough) {
    const Bytes bytes = needle.first(std::min(needle.size(), prefix + lookAheadBytes));
    findEqualRuns(bytes);
    std::array<std::uint8_t, 256> counts{};
    std::size_t dominant = 0; // byte values filling most of the key
    const auto add = [&](std::uint8_t byte) { dominant += ++counts[byte] == dominantByteCount; };
    const auto drop = [&](std::uint8_t byte) { dominant -= counts[byte]-- == dominantByteCount; };
    for (std::size_t i = 0; i < keyBytes; ++i)
        add(bytes[i]);
    PassWindow best;
    const std::size_t positions = std::min(bytes.size() - keyBytes + 1, prefix);
    for (std::size_t at = 0, runStart = 0; at < positions; ++at) {
        if (at > 0) {
            drop(bytes[at - 1]);
            add(bytes[at + keyBytes - 1]);
        }
        if (dominant > 0 || repeats(at)) {
            runStart = at + 1;
        } else if (at + 1 - runStart > best.stride) {
            best = {at + 1 - runStart, runStart};
            if (best.stride >= enough)
                break;
        }
    }
    return best;
}

// The widest stride a pass of `needles` may use: its tables keep `stride` keys of each needle.
std::size_t maxPassStrideFor(std::size_t needles) {
    const std::size_t fit = passTableBudgetKeys / std::max<std::size_t>(needles, 1);
    return std::clamp(std::bit_floor(std::max<std::size_t>(fit, 1)), minPassStride, widestStride);
}

// The widest stride at which the needle has a window of telling keys, if any.
std::optional<PassWindow> passWindowFor(Bytes needle, std::size_t maxStride, TellingKeys& keys) {
    if (needle.size() < minPassStride + keyBytes - 1)
        return std::nullopt;
    const PassWindow run = keys.longestRun(needle, windowSearchBytes, maxStride);
    const std::size_t stride =
        std::min(maxStride, std::bit_floor(std::max<std::size_t>(run.stride, 1)));
    if (stride < minPassStride)
        return std::nullopt;
    return PassWindow{stride, run.start};
}

} // namespace

bool probingBeatsScan(const PassWindow& window, std::size_t needleBytes) {
    return window.stride >=
           std::min(enoughStride, std::max(minPassStride, std::bit_floor(needleBytes / 4)));
}

bool worthWalking(std::size_t stride, std::size_t needles) {
    return stride >= enoughStride || needles * stride >= enoughStride;
}

std::vector<std::optional<PassWindow>> passWindowsFor(std::span<const Bytes> needles,
                                                      std::span<const std::size_t> which) {
    const std::size_t maxStride = maxPassStrideFor(which.size());
    std::vector<std::optional<PassWindow>> windows(needles.size());
    TellingKeys keys;
    for (const std::size_t i : which)
        windows[i] = passWindowFor(needles[i], maxStride, keys);
    return windows;
}

} // namespace dyeloom::search_stages
