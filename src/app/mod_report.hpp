// What a mod's run prints: a line per texture and per subfolder that could not be listed, in the
// byte order of their paths, and a summary.
#pragma once

#include "mod_textures.hpp"

#include <string>

namespace dyeloom {

void printModReport(const ModListing& mod, const std::string& archive);

} // namespace dyeloom
