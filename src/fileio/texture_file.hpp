// The texture files of a mod. A mod is a folder someone else made, often downloaded and unpacked
// by a tool the user does not control, so nothing in it is taken on trust: a file is opened only
// once what is at its name is known to be a regular file below the folder (a symbolic link may
// lead elsewhere in the folder, never out of it), it is checked again through the open handle,
// and every later opening must find the very same file, of the same size. Nothing is kept open
// between readings.
//
// Two kinds of trouble are told apart. What belongs to one texture (it is missing, not a regular
// file, not readable by this user, a link out of its folder) is a reason to skip it, returned as
// text. What says nothing about the texture (too many open files, no memory, an input/output
// error) is a failure of the run, thrown.
#pragma once

#include "bytes.hpp"
#include "os_file.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace dyeloom {

// One of a mod's two folders: as typed, and resolved, which every texture read from it must lie
// below.
struct TextureFolder {
    std::string path;
    std::string real;
};

// Resolves the folder at `path`. Throws, naming it, when it cannot be listed.
TextureFolder openTextureFolder(const std::string& path);

// A texture file found below its folder and checked.
struct TextureFile {
    std::string shown;    // its path as messages show it
    std::string openedAt; // the path it is opened by: below the folder, its own link resolved
    const TextureFolder* folder = nullptr; // which it must be below, whenever it is opened
    os::FileIdentity identity;
    std::uint64_t size = 0;
};

// A file that is not the one found any more: another program shortened, lengthened, replaced or
// removed it, or changed its bytes, while the run was using it.
class TextureChanged : public std::runtime_error {
public:
    explicit TextureChanged(const std::string& shown)
        : std::runtime_error("can't read '" + shown + "': it changed while it was in use") {}
};

// Why a texture file is not used.
struct TextureRefusal {
    bool missing = false; // nothing is at its name
    std::string reason;   // what the run says after the texture's name
};

// Finds `name` (relative, '/' between its parts) below `folder` and opens it, looking before
// opening: only a regular file is opened, and nothing is followed out of the folder. `shown` is
// how messages name the file. Returns why the file is not used, or nothing with `file` and
// `opened` set; throws on a failure of the system.
std::optional<TextureRefusal> openTexture(const TextureFolder& folder, const std::string& name,
                                          const std::string& shown, TextureFile& file,
                                          os::File& opened);

// Opens a texture file found before. Throws TextureChanged when it is not the same file, of the
// same size, as it was then, and a std::runtime_error on a failure of the system.
os::File reopenTexture(const TextureFile& file);

// Reads `into` from `offset` on from the open texture. Throws TextureChanged when fewer bytes
// arrive or the file's size changed meanwhile, and a std::runtime_error on a failure to read.
void readTexture(const TextureFile& file, const os::File& opened, std::uint64_t offset,
                 MutableBytes into);

} // namespace dyeloom
