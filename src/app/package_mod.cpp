#include "package_mod.hpp"

#include "archive_state.hpp"
#include "shown_name.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// Reads texture `i`'s modded data and fingerprints it as an install from folders does. An undo
// package holds the fingerprint as it is: the modded data is the mod's, and the undo package
// stays on the user's machine, so no package's bound applies to it.
PairPrints fingerprintEntry(ModListing& mod, std::size_t i, OpenedPackage& package,
                            const ArchiveFacts& archive, std::size_t windowKeys,
                            ByteBuffer& scratch) {
    ModTexture& texture = mod.textures[i];
    Fingerprint& original = package.entries[i].original;
    if (original.length > archive.size) {
        texture.texture.outcome = Outcome::NotFound;
        return {};
    }
    const os::File opened = reopenTexture(package.file);
    FingerprintMaker maker(windowKeys);
    readPieces(package.file, opened, texture.moddedAt, texture.moddedBytes, scratch,
               [&](Bytes piece) { maker.add(piece); });
    Fingerprint modded = maker.finish();
    if (modded.digest != texture.moddedDigest)
        throw PackageError(package.file.shown, "the data of " +
                                                   quoted(shownName(texture.texture.name)) +
                                                   " does not match its digest");
    PairPrints prints{std::move(original), {}};
    if (modded.digest != texture.originalDigest)
        prints.modded = std::move(modded);
    return prints;
}

} // namespace

OpenedPackage openPackage(const std::string& path) {
    try {
        return readPackage(path, [](std::uint64_t textures) {
            return windowKeysFor(static_cast<std::size_t>(textures));
        });
    } catch (const PackageError& error) {
        throw std::runtime_error(error.what() + archive_left::nothingChanged());
    }
}

ModListing listPackage(const OpenedPackage& package) {
    ModListing mod;
    mod.textures.resize(package.entries.size());
    for (std::size_t i = 0; i < package.entries.size(); ++i) {
        const PackageEntry& entry = package.entries[i];
        ModTexture& texture = mod.textures[i];
        texture.texture.name = entry.name;
        texture.original = texture.modded = package.file;
        texture.originalDigest = entry.original.digest;
        texture.moddedDigest = entry.moddedDigest;
        texture.originalAt = entry.originalAt;
        texture.originalBytes = entry.originalAt == 0 ? 0 : entry.original.length;
        texture.moddedAt = entry.moddedAt;
        texture.moddedBytes = entry.original.length;
    }
    return mod;
}

ModFingerprints fingerprintPackage(ModListing& mod, OpenedPackage& package,
                                   const ArchiveFacts& archive) {
    const auto& archives = archive.identities;
    if (std::find(archives.begin(), archives.end(), package.file.identity) != archives.end())
        throw std::runtime_error(
            PackageError(package.file.shown, "it is one of the archives").what() +
            archive_left::nothingChanged());
    const std::size_t windowKeys = windowKeysFor(mod.textures.size());
    std::vector<PairPrints> pairs(mod.textures.size());
    try {
        forEachTexture(mod.textures.size(), [&](std::size_t i, ByteBuffer& scratch) {
            pairs[i] = fingerprintEntry(mod, i, package, archive, windowKeys, scratch);
        });
    } catch (const TextureChanged&) {
        throw std::runtime_error(
            PackageError(package.file.shown, "it changed while it was being read").what() +
            archive_left::nothingChanged());
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(error.what() + archive_left::nothingChanged());
    }
    return collectFingerprints(std::move(pairs));
}

} // namespace dyeloom
