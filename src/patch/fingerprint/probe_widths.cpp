#include "fingerprint/probe_widths.hpp"

#include <algorithm>
#include <bit>

namespace dyeloom {
namespace {

constexpr unsigned noWidth = 64;

unsigned naturalWidth(const Fingerprint& fingerprint) {
    return static_cast<unsigned>(std::countr_zero(fingerprint.stride()));
}

} // namespace

std::size_t probedKeys(const Fingerprint& fingerprint, unsigned width) {
    return fingerprint.period != 0 ? fingerprint.keys.size()
                                   : std::min(fingerprint.keys.size(), std::size_t{1} << width);
}

std::vector<std::uint8_t> probeWidths(std::span<const Fingerprint> fingerprints,
                                      std::size_t smallFilterKeys) {
    std::vector<std::uint8_t> widths(fingerprints.size(), 0);
    unsigned narrowest = noWidth, widest = 0;
    for (std::size_t i = 0; i < fingerprints.size(); ++i)
        if (!fingerprints[i].keys.empty()) {
            widths[i] = static_cast<std::uint8_t>(naturalWidth(fingerprints[i]));
            narrowest = std::min(narrowest, unsigned{widths[i]});
            widest = std::max(widest, unsigned{widths[i]});
        }
    if (narrowest == noWidth)
        return widths;
    // What each width would add to the narrowest's filter.
    std::vector<std::size_t> keysOfWidth(widest + 1, 0);
    for (const Fingerprint& fingerprint : fingerprints)
        if (!fingerprint.keys.empty())
            keysOfWidth[naturalWidth(fingerprint)] += probedKeys(fingerprint, narrowest);
    std::size_t merged = keysOfWidth[narrowest];
    std::vector<bool> mergedWidth(widest + 1, false);
    for (unsigned width = narrowest + 1; width <= widest; ++width)
        if (keysOfWidth[width] != 0 && merged + keysOfWidth[width] <= smallFilterKeys) {
            merged += keysOfWidth[width];
            mergedWidth[width] = true;
        }
    for (std::size_t i = 0; i < fingerprints.size(); ++i)
        if (!fingerprints[i].keys.empty() && mergedWidth[widths[i]])
            widths[i] = static_cast<std::uint8_t>(narrowest);
    return widths;
}

} // namespace dyeloom
