// What a mod's run prints: a line per texture (in a game, per texture and archive that holds it)
// and per subfolder that could not be listed, in the byte order of their paths, and a summary.
#pragma once

#include "mod_install.hpp"
#include "mod_textures.hpp"

#include <functional>
#include <string>

namespace dyeloom {

// Prints the lines `linesOf` gives for each texture, in order, and the line of each subfolder
// that could not be listed where its files would stand.
void printListing(const ModListing& mod, const std::function<std::string(std::size_t)>& linesOf);

// The summary's words on the subfolders that could not be listed, if any.
[[nodiscard]] std::string unlistedPart(const ModListing& mod);

void printModReport(const ModListing& mod, const std::vector<ModArchive>& archives,
                    const ModRun& run);

} // namespace dyeloom
