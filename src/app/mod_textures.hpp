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
    std::size_t next = 0; // the first texture left for the next pass
};

// What the run knows of the archive before reading textures for it.
struct ArchiveFacts {
    os::FileIdentity identity;
    std::uint64_t size = 0;
};

// What a pass may hold: bytes of memory for its files and of the search's state for them, and
// textures.
struct PassLimits {
    std::uint64_t bytes = 0;
    std::size_t textures = 0;
};

// The limits of each pass over `mod`: the run's heap budget less what the search's tables, the
// mod's listing and the rest of the run may take.
[[nodiscard]] PassLimits passLimitsFor(const ModListing& mod, const ModFolders& folders);

// What a pass looks for. The originals come first, each texture's modded file read through for
// its digest and compared with its original; the modded data of the textures whose original was
// not found is looked for in passes of its own after those, so that only one file of each
// texture is held at a time and a mod needs half the passes.
enum class PassKind { Originals, Modded };

// Reads the textures of `mod` from `from` on into `memory` (reset first) until the pass reaches
// one of its limits (one texture at least): each texture's original, or for a pass of the modded
// data, the modded file of each texture left to look for so. Textures that cannot be used are
// Skipped with their reason, those too large for the archive NotFound. Throws, naming the file, on
// a failure of the system or a file that changes while it is read; nothing is written then.
ModPass readPass(ModListing& mod, std::size_t from, const ModFolders& folders,
                 const ArchiveFacts& archive, std::int32_t headerBytes, PassKind kind,
                 const PassLimits& limits, PassMemory& memory);

// The bytes a mod's patch checks and writes, read from the textures' files span by span: each
// span's archive bytes must have the digest of the original's data as searched, and the modded
// data read now must have the digest it had then. `textures` are the spans' textures in order.
class ModPatchBytes final : public PatchBytes {
public:
    ModPatchBytes(std::vector<const ModTexture*> textures, std::int32_t headerBytes)
        : textures_(std::move(textures)), headerBytes_(static_cast<std::uint64_t>(headerBytes)) {}

    void prepare() override;
    bool holdsExpected(std::size_t span, std::uint64_t at, Bytes piece) override;
    void readReplacement(std::size_t span, std::uint64_t at, MutableBytes into) override;

private:
    std::vector<const ModTexture*> textures_;
    std::uint64_t headerBytes_;
    Digest expected_, replacement_; // of the span under way
    os::File modded_;               // the modded file of the span being written
};

} // namespace dyeloom
