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

// Opens each texture's two files and reads each once, in pieces, for its fingerprint; nothing of
// a file is held after. Textures that cannot be used are Skipped with their reason, those too
// large for every archive NotFound, unread. Throws, naming the file, on a failure of the system or
// a file that changes while it is read; nothing is written then.
ModFingerprints fingerprintMod(ModListing& mod, const ModFolders& folders,
                               const ArchiveFacts& archive, std::int32_t headerBytes);

// Reads the data of a fingerprinted texture's original, or its modded file, again, for the
// search by bytes. Throws TextureChanged unless it has the digest it had.
[[nodiscard]] ByteBuffer readTextureData(const ModTexture& texture, bool modded,
                                         std::int32_t headerBytes);

} // namespace dyeloom
