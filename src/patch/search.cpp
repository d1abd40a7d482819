// Finding the first occurrence of a long byte string (a texture's data, kilobytes to megabytes)
// in a much longer one (an archive, up to gigabytes), in time linear in the archive on any input
// and far below it on ordinary data.
//
// Three methods, each handing the hard parts to the next:
//  1. Sampling (needles of 256 bytes and more). Any occurrence of a needle of length n covers a
//     stretch of n archive bytes, so looking at the archive only once every ~n bytes is enough to
//     meet it: at each sample point the 8-byte q-grams there are looked up in an index of the
//     needle's q-grams, and only the offsets they imply are verified. On ordinary data this skips
//     almost the whole archive without reading it.
//  2. Rare byte. Where sampling meets repetitive data (runs of zeros, a solid-colour texture) and
//     candidates pile up, that stretch is scanned with memchr for the needle's rarest byte and
//     each hit is verified.
//  3. Two-Way (Crochemore and Perrin), linear in the worst case with constant extra memory, takes
//     over wherever verifying rare-byte hits costs more than a few times the bytes covered.
// Each method reports the lowest matching offset of the stretch it covers, and stretches are
// taken in ascending order, so the result is always the first occurrence.
#include "search.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace dyeloom {
namespace {

using Span = std::span<const std::uint8_t>;

// Linear-time exact search after Crochemore and Perrin's Two-Way algorithm, with the usual
// last-byte shift table in front of it.
class TwoWay {
public:
    explicit TwoWay(Span needle) : needle_(needle) {
        const std::size_t n = needle.size();
        for (std::size_t i = 0; i < n; ++i) {
            present_[needle[i] >> 6] |= std::uint64_t{1} << (needle[i] & 63);
            shift_[needle[i]] = i + 1;
        }
        // The critical factorisation: the later of the maximal suffixes for the two orders.
        const Suffix greater = maximalSuffix(false);
        const Suffix lesser = maximalSuffix(true);
        const Suffix chosen = lesser.start > greater.start ? lesser : greater;
        critical_ = chosen.start;
        if (std::memcmp(needle.data(), needle.data() + chosen.period, critical_) == 0) {
            period_ = chosen.period; // periodic needle: remember the verified prefix
            memoryAfterShift_ = n - period_;
        } else {
            period_ = std::max(critical_, n - critical_) + 1;
            memoryAfterShift_ = 0;
        }
    }

    // Lowest index of the needle in `hay`, or hay.size() when it does not occur.
    [[nodiscard]] std::size_t find(Span hay) const {
        const std::size_t n = needle_.size();
        std::size_t at = 0;
        std::size_t memory = 0; // prefix of the needle known to match at `at`
        while (at <= hay.size() && hay.size() - at >= n) {
            const std::uint8_t last = hay[at + n - 1];
            if (!(present_[last >> 6] >> (last & 63) & 1)) {
                at += n;
                memory = 0;
                continue;
            }
            if (const std::size_t skip = n - shift_[last]; skip != 0) {
                at += std::max(skip, memory);
                memory = 0;
                continue;
            }
            std::size_t k = std::max(critical_, memory);
            while (k < n && needle_[k] == hay[at + k])
                ++k;
            if (k < n) {
                at += k - critical_ + 1;
                memory = 0;
                continue;
            }
            k = critical_;
            while (k > memory && needle_[k - 1] == hay[at + k - 1])
                --k;
            if (k <= memory)
                return at;
            at += period_;
            memory = memoryAfterShift_;
        }
        return hay.size();
    }

private:
    struct Suffix {
        std::size_t start; // index where the maximal suffix begins
        std::size_t period;
    };

    [[nodiscard]] Suffix maximalSuffix(bool reversedOrder) const {
        const std::size_t n = needle_.size();
        // `i` is one before the suffix's start; it starts at "-1", hence the +1 offsets.
        std::size_t i1 = 0, j = 1, k = 1, period = 1;
        while (j + k - 1 < n) {
            const std::uint8_t a = needle_[i1 + k - 1];
            const std::uint8_t b = needle_[j + k - 1];
            if (a == b) {
                if (k == period) {
                    j += period;
                    k = 1;
                } else {
                    ++k;
                }
            } else if (reversedOrder ? a < b : a > b) {
                j += k;
                k = 1;
                period = j - i1;
            } else {
                i1 = j++;
                k = period = 1;
            }
        }
        return {i1, period};
    }

    Span needle_;
    std::array<std::uint64_t, 4> present_{};
    std::array<std::size_t, 256> shift_{};
    std::size_t critical_ = 0;
    std::size_t period_ = 1;
    std::size_t memoryAfterShift_ = 0;
};

// The needle's least frequent byte and where it sits, for memchr to jump between its hits.
struct RareByte {
    std::size_t index = 0;
    std::uint8_t value = 0;
};

RareByte findRareByte(Span needle) {
    std::array<std::size_t, 256> count{};
    for (const std::uint8_t byte : needle)
        ++count[byte];
    // Bytes that fill padding and blank pixels are poor anchors in archives even when rare in
    // the needle; they lose ties.
    const auto common = [](unsigned byte) { return byte == 0x00 || byte == 0xFF; };
    unsigned best = needle[0];
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (count[byte] == 0)
            continue;
        if (count[byte] < count[best] || (count[byte] == count[best] && common(best)))
            best = byte;
    }
    const auto at = std::find(needle.begin(), needle.end(), static_cast<std::uint8_t>(best));
    return {static_cast<std::size_t>(at - needle.begin()), static_cast<std::uint8_t>(best)};
}

// Whether the needle sits at `at`; adds an upper bound of the bytes compared to `cost`.
bool matchesAt(Span hay, Span needle, std::size_t at, std::size_t& cost) {
    const std::size_t head = std::min<std::size_t>(needle.size(), 32);
    if (std::memcmp(hay.data() + at, needle.data(), head) != 0) {
        cost += head;
        return false;
    }
    cost += needle.size();
    return std::memcmp(hay.data() + at + head, needle.data() + head, needle.size() - head) == 0;
}

std::uint64_t load64(const std::uint8_t* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// What a search over one stretch of candidate offsets found.
constexpr std::size_t none = static_cast<std::size_t>(-1);

// Methods 2 and 3, over the candidate offsets lo..hi (inclusive) of one needle. Their tables are
// built on first use: on ordinary data the sampling stage never calls for them, and building
// them costs a pass or two over the needle.
class RangeSearch {
public:
    explicit RangeSearch(Span needle) : needle_(needle) {}

    [[nodiscard]] std::size_t find(Span hay, std::size_t lo, std::size_t hi) {
        if (!rare_)
            rare_ = findRareByte(needle_);
        const std::size_t n = needle_.size();
        std::size_t cost = 0;
        std::size_t p = lo;
        while (p <= hi) {
            const auto* start = hay.data() + p + rare_->index;
            const auto* hit =
                static_cast<const std::uint8_t*>(std::memchr(start, rare_->value, hi - p + 1));
            if (hit == nullptr)
                return none;
            p = static_cast<std::size_t>(hit - hay.data()) - rare_->index;
            if (matchesAt(hay, needle_, p, cost))
                return p;
            // Hits verified at a loss: the rest of the stretch goes to the linear method.
            if (cost > 4 * (p - lo) + 4 * n + 256)
                return findLinear(hay, p + 1, hi);
            ++p;
        }
        return none;
    }

private:
    [[nodiscard]] std::size_t findLinear(Span hay, std::size_t lo, std::size_t hi) {
        if (lo > hi)
            return none;
        if (!twoWay_)
            twoWay_.emplace(needle_);
        const Span stretch = hay.subspan(lo, hi - lo + needle_.size());
        const std::size_t at = twoWay_->find(stretch);
        return at == stretch.size() ? none : lo + at;
    }

    Span needle_;
    std::optional<RareByte> rare_;
    std::optional<TwoWay> twoWay_;
};

// Method 1. Samples are taken in blocks: block at `start` looks at the q-grams at start,
// start+1, .., start+t-1 and decides every candidate offset in (start - stride, start]. The index
// holds the needle's q-grams at every t-th position, so exactly one of the block's samples is
// aligned with the index for any candidate; the stride is as long as that allows.
class SampledSearch {
public:
    static constexpr std::size_t minNeedle = 256;

    explicit SampledSearch(Span needle, RangeSearch& fallback)
        : needle_(needle), fallback_(fallback), stride_(needle.size() - q - t + 2) {
        const std::size_t entries = (needle.size() - q) / t + 1;
        bits_ = 4;
        while ((std::size_t{1} << bits_) < entries)
            ++bits_;
        heads_.assign(std::size_t{1} << bits_, 0);
        next_.resize(entries);
        // Chains are built in ascending needle position and read newest first, so every chain
        // lists positions in descending order: its candidate offsets ascend.
        for (std::size_t e = 0; e < entries; ++e) {
            const std::size_t bucket = bucketOf(load64(needle.data() + e * t));
            next_[e] = heads_[bucket];
            heads_[bucket] = static_cast<std::uint32_t>(e + 1);
        }
    }

    [[nodiscard]] std::size_t find(Span hay) {
        const std::size_t lastOffset = hay.size() - needle_.size();
        std::size_t blocksToHandOver = 1;
        std::vector<std::size_t> candidates;
        for (std::size_t start = 0;;) {
            const std::size_t lo = start >= stride_ ? start - stride_ + 1 : 0;
            if (lo > lastOffset)
                return none;
            const std::size_t hi = std::min(start, lastOffset);
            bool hard = false;
            const std::size_t found = searchBlock(hay, start, lo, hi, candidates, hard);
            if (found != none)
                return found;
            if (!hard) {
                blocksToHandOver = 1;
                start += stride_;
                continue;
            }
            // Repetitive data: hand this stretch, growing while it stays hard, to the fallback.
            const std::size_t end = std::min(lastOffset, lo + blocksToHandOver * stride_ - 1);
            if (const std::size_t at = fallback_.find(hay, lo, end); at != none)
                return at;
            blocksToHandOver = std::min<std::size_t>(blocksToHandOver * 2, 256);
            start = end + stride_;
        }
    }

private:
    static constexpr std::size_t q = 8;
    static constexpr std::size_t t = 8;
    static constexpr std::size_t maxSteps = 256;
    static constexpr std::size_t maxCandidates = 32;

    [[nodiscard]] std::size_t bucketOf(std::uint64_t gram) const {
        return static_cast<std::size_t>((gram * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }

    // Decides the candidate offsets lo..hi, or sets `hard` when they are too many to verify.
    std::size_t searchBlock(Span hay, std::size_t start, std::size_t lo, std::size_t hi,
                            std::vector<std::size_t>& candidates, bool& hard) const {
        candidates.clear();
        std::size_t steps = 0;
        for (std::size_t x = start; x < start + t && x + q <= hay.size(); ++x) {
            const std::uint64_t gram = load64(hay.data() + x);
            for (std::uint32_t e = heads_[bucketOf(gram)]; e != 0; e = next_[e - 1]) {
                if (++steps > maxSteps) {
                    hard = true;
                    return none;
                }
                const std::size_t j = (e - 1) * t;
                if (j > x || x - j < lo)
                    continue;
                if (x - j > hi)
                    break;
                if (load64(needle_.data() + j) != gram)
                    continue;
                candidates.push_back(x - j);
                if (candidates.size() > maxCandidates) {
                    hard = true;
                    return none;
                }
            }
        }
        std::sort(candidates.begin(), candidates.end());
        std::size_t cost = 0;
        for (const std::size_t p : candidates) {
            if (matchesAt(hay, needle_, p, cost))
                return p;
            if (cost > 2 * needle_.size()) {
                hard = true;
                return none;
            }
        }
        return none;
    }

    Span needle_;
    RangeSearch& fallback_;
    std::size_t stride_;
    unsigned bits_ = 4;
    std::vector<std::uint32_t> heads_;
    std::vector<std::uint32_t> next_;
};

std::optional<std::size_t> found(std::size_t at) {
    return at == none ? std::nullopt : std::optional<std::size_t>(at);
}

bool searchable(Span hay, Span needle) {
    return !needle.empty() && needle.size() <= hay.size();
}

} // namespace

std::optional<std::size_t> findFirst(std::span<const std::uint8_t> haystack,
                                     std::span<const std::uint8_t> needle) {
    if (!searchable(haystack, needle))
        return std::nullopt;
    RangeSearch range(needle);
    const std::size_t at = needle.size() >= SampledSearch::minNeedle
                               ? SampledSearch(needle, range).find(haystack)
                               : range.find(haystack, 0, haystack.size() - needle.size());
    return found(at);
}

namespace search_stages {

std::optional<std::size_t> findUnsampled(std::span<const std::uint8_t> haystack,
                                         std::span<const std::uint8_t> needle) {
    if (!searchable(haystack, needle))
        return std::nullopt;
    return found(RangeSearch(needle).find(haystack, 0, haystack.size() - needle.size()));
}

std::optional<std::size_t> findTwoWay(std::span<const std::uint8_t> haystack,
                                      std::span<const std::uint8_t> needle) {
    if (!searchable(haystack, needle))
        return std::nullopt;
    const std::size_t at = TwoWay(needle).find(haystack);
    return at == haystack.size() ? std::nullopt : std::optional<std::size_t>(at);
}

} // namespace search_stages

} // namespace dyeloom
