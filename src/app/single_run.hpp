// The four-file form: one texture patched into the archive.
#pragma once

#include "os_process.hpp"
#include "output.hpp"

namespace dyeloom {

// One texture: the archive and the original are viewed, the modded texture is read once its
// original is found, and what is written is that reading, whatever happens to the file later.
// Prints what was done; throws what stops it.
void patchOneTexture(const Arguments& args, os::StopSignals& signals);

} // namespace dyeloom
