#include "install.hpp"

#include "archive_reader.hpp"
#include "texture_patch.hpp"

#include <algorithm>
#include <optional>

namespace dyeloom {
namespace {

// A texture in conflict with several others names the first found.
void markConflict(Texture& texture, const Texture& other) {
    if (texture.outcome == Outcome::Conflict)
        return;
    texture.outcome = Outcome::Conflict;
    texture.overlapping = &other;
}

bool sameData(const LoadedTexture& texture, std::int32_t headerBytes) {
    const Bytes original = textureData(texture.original, headerBytes);
    const Bytes modded = textureData(texture.modded, headerBytes);
    return !texture.modded.empty() &&
           std::equal(original.begin(), original.end(), modded.begin(), modded.end());
}

} // namespace

void searchTextures(const FileView& archive, const std::string& archivePath,
                    std::span<const LoadedTexture> loaded, std::int32_t headerBytes,
                    const SearchProgress& progress) {
    // The originals first, then the modded textures, each given up once its original is found.
    // Modded data equal to the original's is not looked for apart: found, it is in place already.
    std::vector<Bytes> needles;
    std::vector<std::size_t> givenUpWhenFound;
    for (const LoadedTexture& texture : loaded) {
        needles.push_back(texture.original);
        givenUpWhenFound.push_back(MultiSearch::neverGivenUp);
    }
    std::vector<std::uint8_t> identical(loaded.size(), 0);
    std::vector<std::optional<std::size_t>> moddedNeedle(loaded.size());
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        identical[i] = sameData(loaded[i], headerBytes) ? 1 : 0;
        if (loaded[i].lookForModded && identical[i] == 0) {
            moddedNeedle[i] = needles.size();
            needles.push_back(loaded[i].modded);
            givenUpWhenFound.push_back(i);
        }
    }
    ArchiveReader reader(archive);
    const auto found = findTextureOffsets(archive.bytes(), needles, headerBytes, &reader,
                                          givenUpWhenFound, progress);
    requireIntact(archive, archivePath);

    for (std::size_t i = 0; i < loaded.size(); ++i) {
        Texture& texture = *loaded[i].texture;
        const bool moddedFound = moddedNeedle[i] && found[*moddedNeedle[i]];
        if (found[i] && identical[i] == 0) {
            const Bytes data = textureData(loaded[i].original, headerBytes);
            texture.outcome = Outcome::Replaced;
            texture.archiveOffset = *found[i] + (loaded[i].original.size() - data.size());
            texture.spanBytes = data.size();
        } else {
            texture.outcome =
                found[i] || moddedFound ? Outcome::AlreadyReplaced : Outcome::NotFound;
        }
    }
}

void markConflicts(std::span<Texture* const> textures) {
    std::vector<Texture*> replaced;
    for (Texture* texture : textures)
        if (texture->outcome == Outcome::Replaced)
            replaced.push_back(texture);
    std::sort(replaced.begin(), replaced.end(), [](const Texture* a, const Texture* b) {
        return a->archiveOffset < b->archiveOffset;
    });
    Texture* reaching = nullptr; // the span that reaches furthest so far
    std::uint64_t reach = 0;
    for (Texture* texture : replaced) {
        const std::uint64_t end = texture->archiveOffset + texture->spanBytes;
        if (reaching != nullptr && texture->archiveOffset < reach) {
            markConflict(*texture, *reaching);
            markConflict(*reaching, *texture);
        }
        if (reaching == nullptr || end > reach) {
            reaching = texture;
            reach = end;
        }
    }
}

} // namespace dyeloom
