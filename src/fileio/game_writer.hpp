// Writing a patch into several archives as one transaction: every archive patched, or none.
#pragma once

#include "archive_writer.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dyeloom {

// One archive's part of a patch of several.
struct GamePatch {
    std::string path;
    std::vector<PatchSpan> spans; // as writeArchive takes them
    std::unique_ptr<PatchBytes> bytes;
};

// What recovery did at an archive, named by its path.
using ArchiveRecovery = std::pair<std::string, Recovery>;

// Overwrites the spans of every patch (two or more, each of a different archive) through the
// protocol described in game_writer.cpp: it returns only once every archive holds its new bytes
// and nothing of the patch is left beside them, and otherwise throws a message that says what
// every archive is left as. Stop signals are held throughout (the caller releases them).
std::vector<ArchiveRecovery> writeGame(std::span<GamePatch> patches, os::StopSignals& signals);

} // namespace dyeloom
