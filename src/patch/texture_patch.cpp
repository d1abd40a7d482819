#include "texture_patch.hpp"

#include "search.hpp"

#include <stdexcept>

namespace dyeloom {

Bytes textureData(Bytes texture, std::int32_t headerBytes) {
    if (headerBytes < 0 || static_cast<std::uint64_t>(headerBytes) >= texture.size())
        return {};
    return texture.subspan(static_cast<std::size_t>(headerBytes));
}

std::optional<MatchOffset> findTextureOffset(Bytes archive, Bytes original,
                                             std::int32_t headerBytes) {
    const Bytes data = textureData(original, headerBytes);
    if (data.empty())
        return std::nullopt;
    // The data sits headerBytes into the texture, so its first possible place in the archive is
    // headerBytes in: a match there is a texture stored at the archive's very start.
    const auto header = static_cast<std::size_t>(headerBytes);
    if (archive.size() < original.size())
        return std::nullopt;
    const std::optional<std::size_t> found = findFirst(archive.subspan(header), data);
    if (!found)
        return std::nullopt;
    return static_cast<MatchOffset>(*found);
}

TextureSplice spliceTexture(Bytes original, Bytes modded, std::int32_t headerBytes,
                            MatchOffset matchOffset) {
    if (modded.size() < original.size())
        throw std::length_error("the modded texture is shorter than the original texture");
    const Bytes data = textureData(original, headerBytes);
    const std::size_t first = original.size() - data.size();
    return {matchOffset + first, data, modded.subspan(first, data.size())};
}

} // namespace dyeloom
