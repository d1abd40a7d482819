// The textures of a mod: every file below the modded folder, paired with the original of the same
// relative path, read into memory a pass at a time and let go of before the next, so that a mod of
// any size costs a pass's memory and holds no file open. What a pass read is checked again, by
// its digest, when the archive is written.
#pragma once

#include "digest.hpp"
#include "install.hpp"
#include "os_file.hpp"
#include "pass_memory.hpp"
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
    std::uint64_t originalDigest = 0;
    std::uint64_t moddedDigest = 0;
    // Its modded data differs from its original's, so where the original is not found the
    // modded data is looked for, to tell "already replaced" from "not found".
    bool lookForModded = false;
};

struct ModListing {
    std::vector<ModTexture> textures;         // in byte order of their names
    std::vector<os::UnlistedFolder> unlisted; // subfolders of the modded folder
};

// Opens both folders and lists the modded one. Throws, with nothing read, when either cannot be
// listed, or a subfolder cannot be for a reason that is the system's, not the folder's.
ModListing listMod(const ModFolders& folders);

// What one pass of the search holds: its textures' files, in the pass's memory.
struct ModPass {
    std::vector<LoadedTexture> loaded;
    std::vector<std::size_t> indexes; // of each loaded texture in the mod's listing
    std::size_t next = 0;             // the first texture left for the next pass
};

// What the run knows of its archives before reading textures for them.
struct ArchiveFacts {
    std::vector<os::FileIdentity> identities;
    std::uint64_t size = 0; // of the largest
};

// What a pass may hold: bytes of memory for its files and of the search's state for them, and
// textures.
struct PassLimits {
    std::uint64_t bytes = 0;
    std::size_t textures = 0;
};

// The limits of each pass over `mod`: the run's heap budget less what the search's tables, the
// mod's listing, `heldBeside` bytes the run keeps for the whole search (what each texture became
// in each archive) and the rest of the run may take.
[[nodiscard]] PassLimits passLimitsFor(const ModListing& mod, const ModFolders& folders,
                                       std::uint64_t heldBeside = 0);

// What a pass looks for. The originals come first, each texture's modded file read through for
// its digest and compared with its original; the modded data of the textures whose original was
// not found is looked for in passes of its own after those, so that only one file of each
// texture is held at a time and a mod needs half the passes.
enum class PassKind { Originals, Modded };

// Reads the textures of `mod` from `from` on into `memory` (reset first) until the pass reaches
// one of its limits (one texture at least): each texture's original, or for a pass of the modded
// data, the modded file of each texture left to look for so. Textures that cannot be used are
// Skipped with their reason, those too large for every archive NotFound. Throws, naming the file,
// on a failure of the system or a file that changes while it is read; nothing is written then.
ModPass readPass(ModListing& mod, std::size_t from, const ModFolders& folders,
                 const ArchiveFacts& archive, std::int32_t headerBytes, PassKind kind,
                 const PassLimits& limits, PassMemory& memory);

} // namespace dyeloom
