// The plain definition of where a texture's data sits in an archive, written for clarity, not
// speed: every candidate offset in ascending order, byte by byte. Tests check the real search
// against it, and the benchmarks use it as the baseline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace dyeloom::test {

inline std::optional<std::size_t> referenceFind(std::span<const std::uint8_t> haystack,
                                                std::span<const std::uint8_t> needle) {
    if (needle.empty() || needle.size() > haystack.size())
        return std::nullopt;
    for (std::size_t at = 0; at + needle.size() <= haystack.size(); ++at)
        if (std::memcmp(haystack.data() + at, needle.data(), needle.size()) == 0)
            return at;
    return std::nullopt;
}

// Lowest p with archive[p + h .. p + b) == original[h .. b), where b is the original's size.
inline std::optional<std::uint64_t> referenceOffset(std::span<const std::uint8_t> archive,
                                                    std::span<const std::uint8_t> original,
                                                    std::int32_t headerBytes) {
    if (headerBytes < 0 || static_cast<std::size_t>(headerBytes) >= original.size() ||
        archive.size() < original.size())
        return std::nullopt;
    const auto h = static_cast<std::size_t>(headerBytes);
    const auto at = referenceFind(archive.subspan(h), original.subspan(h));
    return at ? std::optional<std::uint64_t>(*at) : std::nullopt;
}

} // namespace dyeloom::test
