// Reading a mod package (package_format.hpp): its header and directory, a part at a time, every
// field checked against the file before it is used. The textures' data stays in the file: it is
// read, and checked by its digest, where the run needs it, through `file`.
#pragma once

#include "package_format.hpp"
#include "text.hpp"
#include "texture_file.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace dyeloom {

// A package that cannot be used: unreadable, not a package, or not a sound one.
class PackageError : public std::runtime_error {
public:
    PackageError(const std::string& path, const std::string& reason)
        : std::runtime_error("can't read the package " + quoted(path) + ": " + reason) {}
};

struct OpenedPackage {
    std::unique_ptr<TextureFolder> folder; // the folder it lies in: it is reopened only there
    TextureFile file;                      // reopened, and read, as a texture file is
    PackageHeader header;
    std::vector<PackageEntry> entries;
};

// How many keys of each window a run keeps, given how many textures the package holds.
using KeysToKeep = std::function<std::size_t(std::uint64_t textures)>;

// Opens the package at `path` (a path typed by the user: the only one a package's run uses) and
// reads its directory. Throws PackageError, naming `path`, when it cannot be read or is not a
// sound package; a std::runtime_error on a failure of the system.
[[nodiscard]] OpenedPackage readPackage(const std::string& path, const KeysToKeep& keysToKeep);

} // namespace dyeloom
