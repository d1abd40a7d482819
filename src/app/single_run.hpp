// The four-file form: one texture patched into the archive.
#pragma once

#include "os_process.hpp"
#include "output.hpp"

namespace dyeloom {

// One texture: the archive and the original are viewed, the modded texture is read once its
// original is found, and what is written is that reading, whatever happens to the file later.
// Prints what was done; throws what stops it. A run that only checks says where the texture would
// be written, and writes nothing.
void patchOneTexture(const Arguments& args, bool checkOnly, os::StopSignals& signals);

} // namespace dyeloom
