// A whole mod in one run: every file below the modded folder installed over the original of the
// same relative path, in one archive or in every archive of a game, found in as few passes as
// memory allows, and written in one patch: under one journal for one archive, under a
// super-journal and a journal each for several.
#pragma once

#include "install.hpp"
#include "output.hpp"

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

// Installs the mod the arguments name (both texture arguments are folders) in every archive of
// `run` and prints a line per texture (and archive) and a summary. Throws, with every archive as
// it was, on any failure.
void installMod(const Arguments& args, const ModRun& run, os::StopSignals& signals);

} // namespace dyeloom
