// Crochemore and Perrin's Two-Way string matching: linear time on every input and constant extra
// memory, the search's guarantee wherever faster methods could degrade.
#pragma once

#include "bytes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace dyeloom {

class TwoWay {
public:
    // `needle` must outlive the searcher and must not be empty.
    explicit TwoWay(Bytes needle);

    // The lowest index at which the needle occurs in `haystack`.
    [[nodiscard]] std::optional<std::size_t> find(Bytes haystack) const;

private:
    [[nodiscard]] bool occursIn(std::uint8_t byte) const {
        return (present_[byte >> 6] >> (byte & 63)) & 1;
    }

    Bytes needle_;
    // The shift table in front of the algorithm: for each byte, one past its last position in
    // the needle, so a window whose last byte cannot end a match is skipped at once.
    std::array<std::size_t, 256> lastSeenEnd_{};
    std::array<std::uint64_t, 4> present_{};
    std::size_t critical_ = 0; // the needle is matched right of here first, then left of it
    std::size_t shiftAfterMatch_ = 1;
    // For a periodic needle, the prefix already known to match after a shift by the period.
    std::size_t prefixKnownAfterShift_ = 0;
};

// The two orders the critical factorisation compares suffixes under.
enum class ByteOrder { Ascending, Descending };

// The lexicographically greatest suffix of `text` under `order`, and its smallest period.
struct MaximalSuffix {
    std::size_t start = 0;
    std::size_t period = 1;
};
MaximalSuffix maximalSuffix(Bytes text, ByteOrder order);

// Where Two-Way cuts a non-empty needle: the later of the two maximal suffixes' starts. The cut
// is critical: the shortest repetition that fits around it is as long as the needle's period.
std::size_t criticalPosition(Bytes needle);

} // namespace dyeloom
