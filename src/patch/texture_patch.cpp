#include "texture_patch.hpp"

#include "search.hpp"

#include <cassert>

namespace dyeloom {

Bytes textureData(Bytes texture, std::int32_t headerBytes) {
    if (headerBytes < 0 || static_cast<std::uint64_t>(headerBytes) >= texture.size())
        return {};
    return texture.subspan(static_cast<std::size_t>(headerBytes));
}

std::optional<MatchOffset> findTextureOffset(Bytes archive, Bytes original,
                                             std::int32_t headerBytes, HaystackReader* reader) {
    const Bytes data = textureData(original, headerBytes);
    if (data.empty() || archive.size() < original.size())
        return std::nullopt;
    // The data sits headerBytes into the texture, so its first possible place in the archive is
    // headerBytes in: a match there is a texture stored at the archive's very start.
    const auto header = static_cast<std::size_t>(headerBytes);
    const std::optional<std::size_t> found = findFirst(archive.subspan(header), data, reader);
    if (!found)
        return std::nullopt;
    return static_cast<MatchOffset>(*found);
}

bool moddedCoversOriginal(std::uint64_t originalSize, std::uint64_t moddedSize) {
    return moddedSize >= originalSize;
}

TextureSplice spliceTexture(Bytes original, Bytes modded, std::int32_t headerBytes,
                            MatchOffset matchOffset) {
    assert(moddedCoversOriginal(original.size(), modded.size()));
    const Bytes data = textureData(original, headerBytes);
    const std::size_t first = original.size() - data.size();
    return {matchOffset + first, data, modded.subspan(first, data.size())};
}

} // namespace dyeloom
