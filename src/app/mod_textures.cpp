#include "mod_textures.hpp"

#include "archive_state.hpp"
#include "os_process.hpp"
#include "output.hpp"
#include "search.hpp"
#include "shown_name.hpp"
#include "texture_patch.hpp"

#include <algorithm>
#include <exception>
#include <optional>
#include <thread>

namespace dyeloom {
namespace {

std::string shownPath(const TextureFolder& folder, const std::string& name) {
    return folder.path + "/" + shownName(name);
}

void skip(Texture& texture, std::string reason) {
    texture.outcome = Outcome::Skipped;
    texture.skipReason = std::move(reason);
}

// Opens and checks texture `i`'s two files and reads each once for its fingerprint. The modded
// data is kept only where it differs from the original's: found, data equal to it is in place
// already.
PairPrints fingerprintTexture(ModListing& mod, std::size_t i, const ModFolders& folders,
                              const ArchiveFacts& archive, std::int32_t headerBytes,
                              std::size_t windowKeys, ByteBuffer& scratch) {
    ModTexture& texture = mod.textures[i];
    os::File original, modded;
    if (!openPair(texture, folders, archive, original, modded))
        return {};
    // Larger than the archive, it cannot be in it: nothing of it is read.
    if (texture.original.size > archive.size) {
        texture.texture.outcome = Outcome::NotFound;
        return {};
    }
    placeData(texture, headerBytes);
    FingerprintMaker originalMaker(windowKeys);
    readPieces(texture.original, original, texture.originalAt, texture.originalBytes, scratch,
               [&](Bytes piece) { originalMaker.add(piece); });
    PairPrints prints{originalMaker.finish(), {}};
    texture.originalDigest = prints.original->digest;
    FingerprintMaker moddedMaker(windowKeys);
    readPieces(texture.modded, modded, texture.moddedAt, texture.moddedBytes, scratch,
               [&](Bytes piece) { moddedMaker.add(piece); });
    Fingerprint moddedPrint = moddedMaker.finish();
    texture.moddedDigest = moddedPrint.digest;
    if (!(texture.moddedDigest == texture.originalDigest))
        prints.modded = std::move(moddedPrint);
    return prints;
}

} // namespace

bool openPair(ModTexture& texture, const ModFolders& folders, const ArchiveFacts& archive,
              os::File& original, os::File& modded) {
    const std::string& name = texture.texture.name;
    if (const auto refused =
            openTexture(folders.originals, name, shownPath(folders.originals, name),
                        texture.original, original)) {
        skip(texture.texture, refused->missing
                                  ? "no original of that name in " + quoted(folders.originals.path)
                                  : refused->reason);
        return false;
    }
    if (const auto refused = openTexture(folders.modded, name, shownPath(folders.modded, name),
                                         texture.modded, modded)) {
        skip(texture.texture, refused->reason);
        return false;
    }
    const auto& archives = archive.identities;
    if (std::find(archives.begin(), archives.end(), texture.original.identity) != archives.end() ||
        std::find(archives.begin(), archives.end(), texture.modded.identity) != archives.end()) {
        skip(texture.texture, "it is the archive itself");
        return false;
    }
    if (texture.original.size != texture.modded.size) {
        skip(texture.texture, "the modded texture is " + std::to_string(texture.modded.size) +
                                  " bytes, the original " + std::to_string(texture.original.size) +
                                  "; a texture patched in place keeps its size");
        return false;
    }
    return true;
}

void placeData(ModTexture& texture, std::int32_t headerBytes) {
    const auto dataAt = [&](const TextureFile& file) {
        return headerBytes < 0 ? file.size : std::min<std::uint64_t>(file.size, headerBytes);
    };
    texture.originalAt = dataAt(texture.original);
    texture.originalBytes = texture.original.size - texture.originalAt;
    texture.moddedAt = dataAt(texture.modded);
    texture.moddedBytes = texture.modded.size - texture.moddedAt;
}

void readPieces(const TextureFile& file, const os::File& opened, std::uint64_t at,
                std::uint64_t bytes, ByteBuffer& scratch, const std::function<void(Bytes)>& take) {
    for (const std::uint64_t end = at + bytes; at < end;) {
        const auto piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), end - at));
        const MutableBytes into(scratch.data(), piece);
        readTexture(file, opened, at, into);
        take(into);
        at += piece;
    }
}

ModListing listMod(const ModFolders& folders) {
    os::FolderListing listing;
    if (const auto error = os::listFolder(folders.modded.path, listing))
        throw std::runtime_error("can't list the folder " + quoted(folders.modded.path) + ": " +
                                 os::describe(error) + archive_left::unchanged());
    ModListing mod;
    for (os::UnlistedFolder& folder : listing.unlisted) {
        if (os::isResourceShortage(folder.reason))
            throw std::runtime_error("can't list the folder " +
                                     quoted(shownPath(folders.modded, folder.path)) + ": " +
                                     os::describe(folder.reason) + archive_left::unchanged());
        mod.unlisted.push_back(std::move(folder));
    }
    std::sort(listing.files.begin(), listing.files.end(),
              [](const os::ListedFile& a, const os::ListedFile& b) { return a.path < b.path; });
    mod.textures.resize(listing.files.size());
    for (std::size_t i = 0; i < listing.files.size(); ++i)
        mod.textures[i].texture.name = std::move(listing.files[i].path);
    std::sort(
        mod.unlisted.begin(), mod.unlisted.end(),
        [](const os::UnlistedFolder& a, const os::UnlistedFolder& b) { return a.path < b.path; });
    return mod;
}

ModFingerprints fingerprintMod(ModListing& mod, const ModFolders& folders,
                               const ArchiveFacts& archive, std::int32_t headerBytes) {
    const std::size_t windowKeys = windowKeysFor(mod.textures.size());
    std::vector<PairPrints> pairs(mod.textures.size());
    try {
        forEachTexture(mod.textures.size(), [&](std::size_t i, ByteBuffer& scratch) {
            pairs[i] =
                fingerprintTexture(mod, i, folders, archive, headerBytes, windowKeys, scratch);
        });
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(error.what() + archive_left::unchanged());
    }
    return collectFingerprints(std::move(pairs));
}

ByteBuffer readTextureData(const ModTexture& texture, bool modded) {
    const TextureFile& file = modded ? texture.modded : texture.original;
    const std::uint64_t bytes = modded ? texture.moddedBytes : texture.originalBytes;
    if (bytes == 0)
        return {};
    const os::File opened = reopenTexture(file);
    ByteBuffer data(static_cast<std::size_t>(bytes));
    readTexture(file, opened, modded ? texture.moddedAt : texture.originalAt, data);
    if (!(Digest::of(data) == (modded ? texture.moddedDigest : texture.originalDigest)))
        throw TextureChanged(file.shown);
    return data;
}

} // namespace dyeloom
