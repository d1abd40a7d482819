// Installing textures into an archive: every texture looked for in one pass, and every one found
// written in one patch under one journal. A single texture is a batch of one. Nothing here
// prints; the run reports what each texture's outcome was.
#pragma once

#include "fileio.hpp"
#include "search.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dyeloom {

enum class Outcome {
    Pending,         // still to be looked for
    Replaced,        // its original's data was found, and the modded texture's written over it
    AlreadyReplaced, // its original's data was not found, but the modded texture's was
    NotFound,
    Skipped,  // never looked for: `detail` says why
    Conflict, // its span overlaps that of texture `detail`: neither is written
};

struct Texture {
    std::string name; // how the run's lines name it
    std::string originalPath, moddedPath;
    std::uint64_t originalSize = 0;
    std::optional<FileView> original; // viewed once it is known it can be looked for
    std::optional<FileView> modded;
    // A modded texture only opened is viewed once its original is found: a texture not found
    // costs no read of it.
    std::optional<LoadableFile> moddedFile;
    Outcome outcome = Outcome::Pending;
    std::string detail;
    std::uint64_t archiveOffset = 0; // of the replaced span, once found
};

struct InstallOptions {
    // Whether a texture whose original is not found is looked for as already replaced.
    bool lookForModded = true;
    SearchProgress progress;
};

// Looks for every Pending texture in the archive in one pass, settles each one's outcome, and
// writes every Replaced one in one patch. Throws, with nothing written, when the archive or a
// texture cannot be read after all or the patch fails; what writeArchive returns otherwise.
Recovery installTextures(const std::string& archivePath, const FileView& archive,
                         std::vector<Texture>& textures, std::int32_t headerBytes,
                         const InstallOptions& options, os::StopSignals& signals);

} // namespace dyeloom
