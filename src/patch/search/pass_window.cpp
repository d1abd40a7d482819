#include "search/pass_window.hpp"

#include "search/gram_print.hpp"
#include "search/telling_keys.hpp"

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
// A needle's window is looked for in its first bytes, this far.
constexpr std::size_t windowSearchBytes = std::size_t{4} << 10;
// The widest stride a pass of `needles` may use: its tables keep `stride` keys of each needle.
std::size_t maxPassStrideFor(std::size_t needles) {
    const std::size_t fit = passTableBudgetKeys / std::max<std::size_t>(needles, 1);
    return std::clamp(std::bit_floor(std::max<std::size_t>(fit, 1)), minPassStride, widestStride);
}

// The widest stride at which the needle has a window of telling keys, if any.
std::optional<PassWindow> passWindowFor(Bytes needle, std::size_t maxStride, TellingKeys& keys) {
    if (needle.size() < minPassStride + keyBytes - 1)
        return std::nullopt;
    const KeyRun run = keys.longestRun(needle, windowSearchBytes, maxStride);
    const std::size_t stride =
        std::min(maxStride, std::bit_floor(std::max<std::size_t>(run.length, 1)));
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
