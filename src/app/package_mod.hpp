// A mod that a package holds, as the search and the write take a mod: each entry a texture whose
// original is known by its fingerprint alone and whose modded data lies in the package.
#pragma once

#include "mod_textures.hpp"
#include "package_reader.hpp"

namespace dyeloom {

// Opens and reads the package at `path`, keeping the windows within the search's budget. Throws,
// naming the package and saying that nothing was changed, when it cannot be read or is not sound.
[[nodiscard]] OpenedPackage openPackage(const std::string& path);

// The package's textures, in its order.
[[nodiscard]] ModListing listPackage(const OpenedPackage& package);

// Reads each texture's modded data from the package once, checks it against its digest, and
// fingerprints it; the originals' fingerprints are the package's. Textures too large for every
// archive are NotFound, unread. Throws, naming the package and saying that nothing was changed,
// when it is one of the archives, its data is not what its directory says, or on a failure of the
// system.
[[nodiscard]] ModFingerprints fingerprintPackage(ModListing& mod, OpenedPackage& package,
                                                 const ArchiveFacts& archive);

} // namespace dyeloom
