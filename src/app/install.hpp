// Installing textures into an archive: the textures in memory are looked for in one pass, each
// one's outcome is settled, and those whose spans would overlap are held back. Writing is the
// caller's: a single texture writes from memory, a mod from its files. Nothing here prints; the
// run reports what each texture's outcome was.
#pragma once

#include "archive_writer.hpp"
#include "file_view.hpp"
#include "search.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dyeloom {

enum class Outcome : std::uint8_t {
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

// Whether the modded data of textures[a] and textures[b], whose spans overlap, is the same
// wherever they overlap.
using ModdedAgree = std::function<bool(std::size_t a, std::size_t b)>;

// Textures whose spans overlap are written as one span, their union, when every pair of them that
// overlaps agrees on the modded bytes there: a mip chain stored as textures of its own, or one
// image under two names. Where two of them disagree, which one the user meant is not for the tool
// to guess: every Replaced texture of that union becomes a Conflict.
void markConflicts(std::span<Texture* const> textures, const ModdedAgree& agree);

// The Replaced textures of `textures` in the archive's order, grouped into the spans a patch
// writes: each group's spans overlap one another (markConflicts found them agreeing), and touch
// no other group's.
std::vector<std::vector<std::size_t>> patchGroups(std::span<Texture* const> textures);

} // namespace dyeloom
