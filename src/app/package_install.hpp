// Installing a mod package: the package's textures looked for in one archive or every archive of
// a game, written as the folder form writes them, and before any archive is touched an undo
// package beside the package, which puts back every byte the install overwrites.
#pragma once

#include "mod_install.hpp"

#include <string>

namespace dyeloom {

// Installs the package at `packagePath` in the archives of `run` and prints a line per texture
// (and archive), a summary, and the undo package's name where one was written. Throws, with every
// archive as it was, on any failure.
void installPackage(const std::string& packagePath, const ModRun& run, os::StopSignals& signals);

} // namespace dyeloom
