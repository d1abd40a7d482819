// Where the one-pass search probes for a needle: every stride-th byte of the haystack is read as
// a key, and each needle keeps the keys of one window of `stride` consecutive positions.
// Any occurrence of the needle then holds exactly one probed position inside its window, so one
// lookup per stride finds every candidate of every needle in the pass, however many there are.
#pragma once

#include "bytes.hpp"
#include "search/telling_keys.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

// A needle's part in the pass: its keys at positions `start` to `start + stride - 1`.
struct PassWindow {
    std::size_t stride = 0;
    std::size_t start = 0;
};

// The window of each of `needles[which[k]]` (nothing for the others) for a pass that may hold
// them all: at the widest stride (a power of two, as wide as the pass's table allows) at which it
// has a window of keys that each say much about it: no short repetition, not mostly one byte
// value, and not the key of a repeated block. Nothing for a needle that has none: it is scanned
// instead.
[[nodiscard]] std::vector<std::optional<PassWindow>>
passWindowsFor(std::span<const Bytes> needles, std::span<const std::size_t> which);

// Whether probing a needle that cannot be sampled at its window's stride costs less than
// scanning for it: a narrow stride probes the whole pass more often than the scan's stops.
[[nodiscard]] bool probingBeatsScan(const PassWindow& window, std::size_t needleBytes);

// Whether a stride with this many needles is worth walking the haystack at: a narrow one only for
// many needles, whose scans would each stop about as often as it probes.
[[nodiscard]] bool worthWalking(std::size_t stride, std::size_t needles);

} // namespace dyeloom::search_stages
