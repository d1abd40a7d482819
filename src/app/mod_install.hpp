// A whole mod in one run: every file below the modded folder installed over the original of the
// same relative path, in one archive or in every archive of a game, found in as few passes as
// memory allows, and written in one patch: under one journal for one archive, under a
// super-journal and a journal each for several.
#pragma once

#include "archive_locks.hpp"
#include "install.hpp"
#include "mod_textures.hpp"
#include "output.hpp"

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace dyeloom {

// How the run was asked for.
struct ModRun {
    std::vector<std::string> archives; // as typed, or as the pattern found them, in byte order
    bool game = false;                 // the archives were given by a pattern
    bool checkOnly = false;            // nothing is written
};

// What a texture of the mod became in one archive: small, as a game holds one per texture and
// archive for the whole run.
struct Finding {
    static constexpr std::uint32_t none = ~std::uint32_t{0};
    std::uint64_t archiveOffset = 0;
    std::uint64_t spanBytes = 0;
    std::uint32_t overlapping =
        none; // the texture a Conflict overlaps, by its place in the listing
    Outcome outcome = Outcome::Pending;
};

// One archive of the run, and what each texture of the mod became in it.
struct ModArchive {
    std::string path;
    std::vector<Finding> found; // one per texture of the mod, in the listing's order
};

// The archives of a run, locked for it, their journals dealt with, each file once.
struct RunArchives {
    ArchiveLocks locks;
    std::vector<LoadableFile> files;
    std::vector<std::string> paths; // of `files`
    ArchiveFacts facts;
};

// Locks the run's archives, recovers (or, checking only, reports) what interrupted patches left,
// and opens each archive once, however many names it goes by. Throws on any failure.
[[nodiscard]] RunArchives openRunArchives(const ModRun& run, os::StopSignals& signals);

// Called once the archives to be written are locked for it, before the first byte of any is
// touched: what it throws stops the run with every archive unchanged.
using BeforeWriting =
    std::function<void(const std::vector<ModArchive>& archives, std::span<const FileView> views)>;

// Searches every archive of `opened` for the fingerprinted mod, settles what each texture became,
// and unless the run only checks, writes the Replaced ones. Returns what each texture became in
// each archive. Throws, with every archive as it was, on any failure.
[[nodiscard]] std::vector<ModArchive>
installFingerprinted(ModListing& mod, const ModFingerprints& prints, RunArchives& opened,
                     std::int32_t headerBytes, const ModRun& run,
                     const BeforeWriting& beforeWriting, os::StopSignals& signals);

// Installs the mod the arguments name (both texture arguments are folders) in every archive of
// `run` and prints a line per texture (and archive) and a summary. Throws, with every archive as
// it was, on any failure.
void installMod(const Arguments& args, const ModRun& run, os::StopSignals& signals);

} // namespace dyeloom
