// A whole mod in one run: every file below the modded folder installed over the original of the
// same relative path, found in the archive in as few passes as memory allows, and written in one
// patch under one journal.
#pragma once

#include "output.hpp"

namespace dyeloom {

// Installs the mod the arguments name (both texture arguments are folders) and prints a line per
// texture and a summary. Throws, with the archive as it was, on any failure.
void installMod(const Arguments& args, os::StopSignals& signals);

} // namespace dyeloom
