#include "search.hpp"

#include <algorithm>

namespace dyeloom {

std::optional<std::size_t> findFirst(std::span<const std::uint8_t> haystack,
                                     std::span<const std::uint8_t> needle) {
    if (needle.empty() || needle.size() > haystack.size())
        return std::nullopt;
    const auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    if (at == haystack.end())
        return std::nullopt;
    return static_cast<std::size_t>(at - haystack.begin());
}

} // namespace dyeloom
