// Installing textures into an archive: the textures in memory are looked for in one pass, each
// one's outcome is settled, and those whose spans would overlap are held back. Writing is the
// caller's: a single texture writes from memory, a mod from its files. Nothing here prints; the
// run reports what each texture's outcome was.
#pragma once

#include "archive_writer.hpp"
#include "file_view.hpp"
#include "search.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace dyeloom {

enum class Outcome {
    Pending,         // still to be looked for
    Replaced,        // its original's data was found, and the modded texture's written over it
    AlreadyReplaced, // its original's data was not found, but the modded texture's was
    NotFound,
    Skipped,  // never looked for: `skipReason` says why
    Conflict, // its span overlaps that of texture `overlapping`: neither is written
};

// One texture of a run and what became of it.
struct Texture {
    std::string name; // its path below the mod's folders, '/' between the parts, as listed
    Outcome outcome = Outcome::Pending;
    std::string skipReason;
    const Texture* overlapping = nullptr;
    std::uint64_t archiveOffset = 0; // of the span that replaces its data, once found
    std::uint64_t spanBytes = 0;
};

// A texture's bytes for one pass of the search: its original's and its modded texture's whole
// files, in memory while the pass lasts.
struct LoadedTexture {
    Texture* texture = nullptr;
    Bytes original;
    Bytes modded;
    // Whether the modded data is looked for too, to tell "already replaced" from "not found".
    bool lookForModded = false;
};

// Looks for every loaded texture's original (and modded data where asked) in the archive in one
// pass, and settles each one's outcome: Replaced with its span, AlreadyReplaced or NotFound. A
// texture whose modded data equals its original's is AlreadyReplaced where it is found: writing
// it would change nothing.
// Throws, naming the archive, when part of it could not be read after all.
void searchTextures(const FileView& archive, const std::string& archivePath,
                    std::span<const LoadedTexture> loaded, std::int32_t headerBytes,
                    const SearchProgress& progress);

// Two textures whose spans overlap cannot both be written, and which one the user meant is not
// for the tool to guess: every Replaced texture whose span overlaps another's becomes a Conflict.
void markConflicts(std::span<Texture* const> textures);

} // namespace dyeloom
