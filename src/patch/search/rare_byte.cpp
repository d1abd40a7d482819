#include "search/rare_byte.hpp"

#include <algorithm>
#include <cstring>

namespace dyeloom::search_stages {
namespace {

// The search hands over to Two-Way once its verifying has cost more than costFactor times the
// bytes it has covered, plus costFactor needle lengths and costSlack bytes of grace. Two-Way
// costs about two byte comparisons per byte, memchr far less, so verifying that stays within a
// few times the span is still the faster path.
constexpr std::size_t costFactor = 4;
constexpr std::size_t costSlack = 256;
// Verifying a hit compares this many leading bytes first.
constexpr std::size_t verifyHeadBytes = 32;

} // namespace

RareByteSearch::RareByte RareByteSearch::findRareByte(Bytes needle,
                                                      const ByteCounts* haystackCounts) {
    std::array<std::size_t, 256> count{};
    for (const std::uint8_t byte : needle)
        ++count[byte];
    // Without a sample of the haystack, bytes that fill padding and blank pixels are taken for
    // poor anchors in archives even when rare in the needle: they lose ties.
    const auto common = [](unsigned byte) { return byte == 0x00 || byte == 0xFF; };
    const auto rarer = [&](unsigned a, unsigned b) {
        if (haystackCounts != nullptr && (*haystackCounts)[a] != (*haystackCounts)[b])
            return (*haystackCounts)[a] < (*haystackCounts)[b];
        return count[a] < count[b] || (count[a] == count[b] && common(b) && !common(a));
    };
    unsigned best = needle[0];
    for (unsigned byte = 0; byte < 256; ++byte)
        if (count[byte] != 0 && rarer(byte, best))
            best = byte;
    const auto at = std::find(needle.begin(), needle.end(), static_cast<std::uint8_t>(best));
    return {static_cast<std::size_t>(at - needle.begin()), static_cast<std::uint8_t>(best)};
}

std::optional<std::size_t> RareByteSearch::find(Bytes haystack, Stretch stretch,
                                                HaystackReader* reader) {
    if (!rare_)
        rare_ = findRareByte(needle_);
    // The whole stretch is read from start to end.
    announce(reader,
             haystack.subspan(stretch.first, stretch.last - stretch.first + needle_.size()));
    std::size_t cost = 0;
    for (std::size_t offset = stretch.first; offset <= stretch.last; ++offset) {
        const std::uint8_t* from = haystack.data() + offset + rare_->index;
        const auto* hit = static_cast<const std::uint8_t*>(
            std::memchr(from, rare_->value, stretch.last - offset + 1));
        if (hit == nullptr)
            return std::nullopt;
        offset = static_cast<std::size_t>(hit - haystack.data()) - rare_->index;
        const std::size_t head = std::min(needle_.size(), verifyHeadBytes);
        const bool headMatches = std::memcmp(haystack.data() + offset, needle_.data(), head) == 0;
        cost += headMatches ? needle_.size() : head;
        if (headMatches &&
            std::memcmp(haystack.data() + offset, needle_.data(), needle_.size()) == 0)
            return offset;
        const std::size_t covered = offset - stretch.first;
        if (cost > costFactor * (covered + needle_.size()) + costSlack)
            return findLinear(haystack, {offset + 1, stretch.last});
    }
    return std::nullopt;
}

std::optional<std::size_t> RareByteSearch::findLinear(Bytes haystack, Stretch stretch) {
    if (stretch.first > stretch.last)
        return std::nullopt;
    if (!twoWay_)
        twoWay_ = std::make_unique<TwoWay>(needle_);
    const Bytes part =
        haystack.subspan(stretch.first, stretch.last - stretch.first + needle_.size());
    const auto found = twoWay_->find(part);
    return found ? std::optional<std::size_t>(stretch.first + *found) : std::nullopt;
}

} // namespace dyeloom::search_stages
