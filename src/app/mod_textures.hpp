// The textures of a mod: every file below the modded folder, paired with the original of the same
// relative path, each read once for its fingerprint, so that a mod of any size is searched for in
// one pass and holds no file open. What was read is checked again, by its digest, when the
// archive is written.
#pragma once

#include "digest.hpp"
#include "fingerprint/fingerprint_search.hpp"
#include "install.hpp"
#include "os_file.hpp"
#include "texture_file.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dyeloom {

struct ModFolders {
    TextureFolder originals;
    TextureFolder modded;
};

// A texture of the mod: its outcome, its two files once found, and digests of their data
// (from the header byte count on) as the search saw them.
struct ModTexture {
    Texture texture;
    TextureFile original;
    TextureFile modded;
    Digest128 originalDigest;
    Digest128 moddedDigest;
    // Where each file's data lies in it: from the header byte count on in a mod's folders, where
    // the entry says in a package. A package holds no data of a mod's originals (none: 0 bytes).
    std::uint64_t originalAt = 0, originalBytes = 0;
    std::uint64_t moddedAt = 0, moddedBytes = 0;
};

struct ModListing {
    std::vector<ModTexture> textures;         // in byte order of their names
    std::vector<os::UnlistedFolder> unlisted; // subfolders of the modded folder
};

// Opens both folders and lists the modded one. Throws, with nothing read, when either cannot be
// listed, or a subfolder cannot be for a reason that is the system's, not the folder's.
ModListing listMod(const ModFolders& folders);

// What the run knows of its archives before reading textures for them.
struct ArchiveFacts {
    std::vector<os::FileIdentity> identities;
    std::uint64_t size = 0; // of the largest
};

// What the search looks for: the fingerprint of each texture's original data and, where it
// differs, of its modded data, to tell "already replaced" from "not found". A modded fingerprint
// is given up once its original is found.
struct ModFingerprints {
    std::vector<Fingerprint> fingerprints;
    std::vector<std::size_t> givenUpWhenFound;
    std::vector<std::size_t> texture; // of each fingerprint, its place in the listing
    std::vector<std::uint8_t> modded; // of each fingerprint, 1 if it is of the modded data
    std::vector<std::size_t> originalOf, moddedOf; // of each texture, its fingerprints (or none)
    static constexpr std::size_t none = FingerprintSearch::neverGivenUp;
};

// Opens a texture's two files and checks them as a pair, or skips the texture with the reason.
// Throws on a failure of the system.
[[nodiscard]] bool openPair(ModTexture& texture, const ModFolders& folders,
                            const ArchiveFacts& archive, os::File& original, os::File& modded);

// Sets where a pair's data lies in its files: from `headerBytes` on, or nowhere when negative.
void placeData(ModTexture& texture, std::int32_t headerBytes);

// Reads `bytes` bytes from `at` of an open texture file, a piece of `scratch`'s size at a time,
// and hands each piece to `take`.
void readPieces(const TextureFile& file, const os::File& opened, std::uint64_t at,
                std::uint64_t bytes, ByteBuffer& scratch, const std::function<void(Bytes)>& take);

// Opens each texture's two files and reads each once, in pieces, for its fingerprint; nothing of
// a file is held after. Textures that cannot be used are Skipped with their reason, those too
// large for every archive NotFound, unread. Throws, naming the file, on a failure of the system or
// a file that changes while it is read; nothing is written then.
ModFingerprints fingerprintMod(ModListing& mod, const ModFolders& folders,
                               const ArchiveFacts& archive, std::int32_t headerBytes);

// Reads the data of a fingerprinted texture's original, or its modded file, again, for the
// search by bytes: none where the file holds none. Throws TextureChanged unless it has the digest
// it had.
[[nodiscard]] ByteBuffer readTextureData(const ModTexture& texture, bool modded);

// The fingerprints of one texture: none when it is skipped or too large for every archive, no
// modded one where its modded data is its original's.
struct PairPrints {
    std::optional<Fingerprint> original, modded;
};

// Each texture's files are read in pieces of this size.
inline constexpr std::size_t texturePieceBytes = std::size_t{1} << 20;

// The widest window each fingerprint of a mod of `textures` may keep: the search's tables of the
// whole mod stay within their budget.
[[nodiscard]] std::size_t windowKeysFor(std::size_t textures);

// Runs `work` for every texture of a mod of `count`, by as many threads as a mod of that size is
// worth, each with a scratch piece of its own. A failure is that of the first texture in the
// listing that failed, as one thread would have met it.
void forEachTexture(std::size_t count,
                    const std::function<void(std::size_t i, ByteBuffer& scratch)>& work);

// The search's fingerprints, from each texture's pair in the listing's order.
[[nodiscard]] ModFingerprints collectFingerprints(std::vector<PairPrints> pairs);

} // namespace dyeloom
