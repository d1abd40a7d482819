// What a mod's run prints: a line per texture (in a game, per texture and archive that holds it)
// and per subfolder that could not be listed, in the byte order of their paths, and a summary.
#pragma once

#include "mod_install.hpp"
#include "mod_textures.hpp"

#include <string>

namespace dyeloom {

void printModReport(const ModListing& mod, const std::vector<ModArchive>& archives,
                    const ModRun& run);

} // namespace dyeloom
