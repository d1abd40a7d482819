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
    return findTextureOffsets(archive, std::span(&original, 1), headerBytes, reader).front();
}

std::vector<std::optional<MatchOffset>>
findTextureOffsets(Bytes archive, std::span<const Bytes> textures, std::int32_t headerBytes,
                   HaystackReader* reader, std::span<const std::size_t> givenUpWhenFound,
                   const SearchProgress& progress) {
    std::vector<std::optional<MatchOffset>> offsets(textures.size());
    if (headerBytes < 0 || static_cast<std::uint64_t>(headerBytes) >= archive.size())
        return offsets;
    // A texture's data sits headerBytes into it, so its first possible place in the archive is
    // headerBytes in: a match there is a texture stored at the archive's very start. A texture
    // longer than the archive, or with no data, is looked for as an empty needle: never found.
    const auto header = static_cast<std::size_t>(headerBytes);
    std::vector<Bytes> needles;
    for (const Bytes texture : textures)
        needles.push_back(texture.size() > archive.size() ? Bytes{}
                                                          : textureData(texture, headerBytes));
    MultiSearch search(needles, givenUpWhenFound);
    const auto found = search.findAll(archive.subspan(header), reader, progress);
    for (std::size_t i = 0; i < found.size(); ++i)
        if (found[i])
            offsets[i] = static_cast<MatchOffset>(*found[i]);
    return offsets;
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
