#include "two_way.hpp"

#include <algorithm>
#include <cstring>

namespace dyeloom {

MaximalSuffix maximalSuffix(Bytes text, ByteOrder order) {
    // `best` is where the greatest suffix found so far starts, `candidate` where a rival does;
    // the first `matched` bytes of the two agree, and `period` is the best suffix's period.
    std::size_t best = 0, candidate = 1, matched = 0, period = 1;
    while (candidate + matched < text.size()) {
        const std::uint8_t ours = text[best + matched];
        const std::uint8_t theirs = text[candidate + matched];
        if (ours == theirs) {
            if (++matched == period) {
                candidate += period;
                matched = 0;
            }
        } else if (order == ByteOrder::Ascending ? theirs < ours : theirs > ours) {
            candidate += matched + 1;
            matched = 0;
            period = candidate - best;
        } else {
            best = candidate++;
            matched = 0;
            period = 1;
        }
    }
    return {best, period};
}

std::size_t criticalPosition(Bytes needle) {
    return std::max(maximalSuffix(needle, ByteOrder::Ascending).start,
                    maximalSuffix(needle, ByteOrder::Descending).start);
}

TwoWay::TwoWay(Bytes needle) : needle_(needle) {
    for (std::size_t i = 0; i < needle.size(); ++i) {
        present_[needle[i] >> 6] |= std::uint64_t{1} << (needle[i] & 63);
        lastSeenEnd_[needle[i]] = i + 1;
    }
    const MaximalSuffix ascending = maximalSuffix(needle, ByteOrder::Ascending);
    const MaximalSuffix descending = maximalSuffix(needle, ByteOrder::Descending);
    const MaximalSuffix& cut = ascending.start >= descending.start ? ascending : descending;
    critical_ = cut.start;
    if (std::memcmp(needle.data(), needle.data() + cut.period, critical_) == 0) {
        // The needle is periodic: after a match of the right part fails at the left, the next
        // window overlaps this one by all but one period, which is known to match already.
        shiftAfterMatch_ = cut.period;
        prefixKnownAfterShift_ = needle.size() - cut.period;
    } else {
        shiftAfterMatch_ = std::max(critical_, needle.size() - critical_) + 1;
        prefixKnownAfterShift_ = 0;
    }
}

std::optional<std::size_t> TwoWay::find(Bytes haystack) const {
    const std::size_t n = needle_.size();
    std::size_t window = 0;
    std::size_t prefixKnown = 0; // bytes at the window's start known to match already
    while (window <= haystack.size() && haystack.size() - window >= n) {
        const std::uint8_t last = haystack[window + n - 1];
        if (!occursIn(last)) {
            window += n;
            prefixKnown = 0;
            continue;
        }
        if (const std::size_t skip = n - lastSeenEnd_[last]; skip != 0) {
            window += std::max(skip, prefixKnown);
            prefixKnown = 0;
            continue;
        }
        std::size_t right = std::max(critical_, prefixKnown);
        while (right < n && needle_[right] == haystack[window + right])
            ++right;
        if (right < n) {
            window += right - critical_ + 1;
            prefixKnown = 0;
            continue;
        }
        std::size_t left = critical_;
        while (left > prefixKnown && needle_[left - 1] == haystack[window + left - 1])
            --left;
        if (left <= prefixKnown)
            return window;
        window += shiftAfterMatch_;
        prefixKnown = prefixKnownAfterShift_;
    }
    return std::nullopt;
}

} // namespace dyeloom
