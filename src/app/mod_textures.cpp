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

// The fingerprints' windows keep at most this many keys in all (a flat texture's pattern keeps up
// to 16 whatever the budget): their table (two slots of 16 bytes a key, and filters of two bytes)
// then takes at most 68 MiB and the keys 16 MiB. A mod of up to 2,048 textures keeps the widest
// windows; one of 100,000 keeps windows of 8 keys, and the archive is probed once a word.
constexpr std::size_t fingerprintBudgetKeys = std::size_t{1} << 21;
// A mod of this many textures or more has its files read by every processor the run may use.
constexpr std::size_t parallelFromTextures = 256;
// Each file is read in pieces of this size.
constexpr std::size_t pieceBytes = std::size_t{1} << 20;

std::string shownPath(const TextureFolder& folder, const std::string& name) {
    return folder.path + "/" + shownName(name);
}

void skip(Texture& texture, std::string reason) {
    texture.outcome = Outcome::Skipped;
    texture.skipReason = std::move(reason);
}

// Opens a texture's two files, or says why it is skipped.
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

// The widest window each fingerprint of a mod of `textures` may keep within the budget: each
// texture has two.
std::size_t windowKeysFor(std::size_t textures) {
    return std::clamp<std::size_t>(fingerprintBudgetKeys / std::max<std::size_t>(2 * textures, 1),
                                   1, maxFingerprintStride);
}

// Where a texture file's data starts: its size when it has none.
std::uint64_t dataOffset(const TextureFile& file, std::int32_t headerBytes) {
    return headerBytes < 0 ? file.size : std::min<std::uint64_t>(file.size, headerBytes);
}

// Reads a texture file's data in pieces into `maker`.
void readData(const TextureFile& file, const os::File& opened, std::int32_t headerBytes,
              ByteBuffer& scratch, FingerprintMaker& maker) {
    for (std::uint64_t at = dataOffset(file, headerBytes); at < file.size;) {
        const auto bytes =
            static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), file.size - at));
        const MutableBytes piece(scratch.data(), bytes);
        readTexture(file, opened, at, piece);
        maker.add(piece);
        at += bytes;
    }
}

void addFingerprint(ModFingerprints& prints, Fingerprint fingerprint, std::size_t texture,
                    bool modded, std::size_t givenUpWhenFound) {
    (modded ? prints.moddedOf : prints.originalOf)[texture] = prints.fingerprints.size();
    prints.fingerprints.push_back(std::move(fingerprint));
    prints.givenUpWhenFound.push_back(givenUpWhenFound);
    prints.texture.push_back(texture);
    prints.modded.push_back(modded ? 1 : 0);
}

// The fingerprints of one texture's files: none when it is skipped or too large for every archive.
struct PairPrints {
    std::optional<Fingerprint> original, modded;
};

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
    FingerprintMaker originalMaker(windowKeys);
    readData(texture.original, original, headerBytes, scratch, originalMaker);
    PairPrints prints{originalMaker.finish(), {}};
    texture.originalDigest = prints.original->digest;
    FingerprintMaker moddedMaker(windowKeys);
    readData(texture.modded, modded, headerBytes, scratch, moddedMaker);
    Fingerprint moddedPrint = moddedMaker.finish();
    texture.moddedDigest = moddedPrint.digest;
    if (!(texture.moddedDigest == texture.originalDigest))
        prints.modded = std::move(moddedPrint);
    return prints;
}

// Fingerprints every texture of the mod, the textures shared among `threads` threads. A failure
// is that of the first texture in the listing that failed, as one thread would have met it.
std::vector<PairPrints> fingerprintAll(ModListing& mod, const ModFolders& folders,
                                       const ArchiveFacts& archive, std::int32_t headerBytes,
                                       std::size_t threads) {
    const std::size_t windowKeys = windowKeysFor(mod.textures.size());
    std::vector<PairPrints> prints(mod.textures.size());
    std::vector<std::exception_ptr> failures(mod.textures.size());
    const auto work = [&](std::size_t first) {
        ByteBuffer scratch(pieceBytes);
        for (std::size_t i = first; i < mod.textures.size(); i += threads) {
            try {
                prints[i] =
                    fingerprintTexture(mod, i, folders, archive, headerBytes, windowKeys, scratch);
            } catch (...) {
                failures[i] = std::current_exception();
                return;
            }
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t w = 1; w < threads; ++w)
        workers.emplace_back(work, w);
    work(0);
    for (std::thread& worker : workers)
        worker.join();
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
    return prints;
}

} // namespace

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
    // A few hundred files are read in a fraction of a second, in the listing's order.
    const std::size_t threads =
        mod.textures.size() < parallelFromTextures
            ? 1
            : std::min<std::size_t>(os::processorsToUse(), mod.textures.size());
    std::vector<PairPrints> pairs;
    try {
        pairs = fingerprintAll(mod, folders, archive, headerBytes, threads);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(error.what() + archive_left::unchanged());
    }
    ModFingerprints prints;
    prints.originalOf.assign(mod.textures.size(), ModFingerprints::none);
    prints.moddedOf.assign(mod.textures.size(), ModFingerprints::none);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (!pairs[i].original)
            continue;
        const std::size_t originalIndex = prints.fingerprints.size();
        addFingerprint(prints, std::move(*pairs[i].original), i, false, ModFingerprints::none);
        if (pairs[i].modded)
            addFingerprint(prints, std::move(*pairs[i].modded), i, true, originalIndex);
    }
    return prints;
}

ByteBuffer readTextureData(const ModTexture& texture, bool modded, std::int32_t headerBytes) {
    const TextureFile& file = modded ? texture.modded : texture.original;
    const os::File opened = reopenTexture(file);
    const std::uint64_t at = dataOffset(file, headerBytes);
    ByteBuffer data(static_cast<std::size_t>(file.size - at));
    readTexture(file, opened, at, data);
    if (!(Digest::of(data) == (modded ? texture.moddedDigest : texture.originalDigest)))
        throw TextureChanged(file.shown);
    return data;
}

} // namespace dyeloom
