// The stride each fingerprint's keys are probed at, chosen once for a run's fingerprints together.
//
// A window of 2^k keys is probed at every multiple of 2^k, and each width present costs a probe
// of the whole archive at its stride. The first 2^j keys of a window are a window too, probed at
// every multiple of 2^j: so once the narrowest width present is probed anyway, a wider window
// trimmed to it needs no probes of its own, and a pattern's runs are met at any narrower stride.
// Merging a width into the narrowest costs keys in its filter instead: a window adds as many keys
// as the narrowest width, a pattern its period. Widths are merged, narrowest first, while the
// narrowest width's filter stays in the processor's nearest cache, so its probes cost no more
// than they did; past that, a probe of a large filter would cost more than those it saves.
#pragma once

#include "fingerprint/fingerprint.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace dyeloom {

// log2 of the stride fingerprint i is probed at (0 for one without keys); a window of 2^w keys
// is probed by its first 2^w keys at every multiple of 2^w, where w is at most log2 of its width.
[[nodiscard]] std::vector<std::uint8_t> probeWidths(std::span<const Fingerprint> fingerprints,
                                                    std::size_t smallFilterKeys);

// The keys of `fingerprint` probed at a stride of 2^width: a window's first 2^width, every phase
// of a pattern.
[[nodiscard]] std::size_t probedKeys(const Fingerprint& fingerprint, unsigned width);

} // namespace dyeloom
