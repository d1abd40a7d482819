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

std::vector<std::vector<std::size_t>> patchGroups(std::span<Texture* const> textures) {
    std::vector<std::size_t> replaced;
    for (std::size_t i = 0; i < textures.size(); ++i)
        if (textures[i]->outcome == Outcome::Replaced)
            replaced.push_back(i);
    std::sort(replaced.begin(), replaced.end(), [&](std::size_t a, std::size_t b) {
        return textures[a]->archiveOffset < textures[b]->archiveOffset;
    });
    std::vector<std::vector<std::size_t>> groups;
    std::uint64_t reach = 0; // the end of the group under way
    for (const std::size_t i : replaced) {
        const Texture& texture = *textures[i];
        if (groups.empty() || texture.archiveOffset >= reach)
            groups.emplace_back();
        groups.back().push_back(i);
        reach = std::max(groups.back().size() == 1 ? 0 : reach,
                         texture.archiveOffset + texture.spanBytes);
    }
    return groups;
}

void markConflicts(std::span<Texture* const> textures, const ModdedAgree& agree) {
    for (const std::vector<std::size_t>& group : patchGroups(textures)) {
        // Each texture is compared with those before it in the group whose spans reach into it.
        const Texture* disagreeing = nullptr;
        for (std::size_t k = 1; k < group.size() && disagreeing == nullptr; ++k) {
            const Texture& texture = *textures[group[k]];
            for (std::size_t j = 0; j < k; ++j) {
                const Texture& earlier = *textures[group[j]];
                if (earlier.archiveOffset + earlier.spanBytes > texture.archiveOffset &&
                    !agree(group[j], group[k])) {
                    markConflict(*textures[group[k]], earlier);
                    markConflict(*textures[group[j]], texture);
                    disagreeing = &texture;
                    break;
                }
            }
        }
        if (disagreeing == nullptr)
            continue;
        // The others of the group name the first texture whose span overlaps theirs.
        for (std::size_t k = 0; k < group.size(); ++k) {
            Texture& texture = *textures[group[k]];
            std::size_t j = k == 0 ? 1 : 0;
            while (j < k && textures[group[j]]->archiveOffset + textures[group[j]]->spanBytes <=
                                texture.archiveOffset)
                ++j;
            markConflict(texture, *textures[group[j]]);
        }
    }
}

} // namespace dyeloom
