// Packing a mod: the textures of a mod's two folders, paired and checked as an install from the
// folders pairs and checks them, written to one package that holds each modded texture's data and
// only the fingerprint of its original.
#pragma once

#include "output.hpp"

#include <string>

namespace dyeloom {

// Packs the mod of `args.original` and `args.modded` (folders) into the package at
// `args.archive`, replacing what is at that name only once the whole package is on the disk.
// Prints a line per texture and a summary. Throws, with nothing at the package's name changed,
// on any failure.
void packMod(const Arguments& args);

} // namespace dyeloom
