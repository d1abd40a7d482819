#include "texture_file.hpp"

#include "archive_state.hpp"

namespace dyeloom {
namespace {

// What stands at a path that is not a regular file, for messages.
const char* kindName(os::FileKind kind) {
    switch (kind) {
    case os::FileKind::Directory:
        return "a folder";
    case os::FileKind::Fifo:
        return "a FIFO";
    case os::FileKind::Device:
        return "a device";
    case os::FileKind::Socket:
        return "a socket";
    case os::FileKind::Link:
        return "a symbolic link";
    case os::FileKind::Regular:
    case os::FileKind::Other:
        break;
    }
    return "not a regular file";
}

// A failure that says nothing about the file is the run's; anything else is the texture's.
TextureRefusal refusal(const std::string& what, const std::string& shown,
                       const std::error_code& error) {
    if (os::isResourceShortage(error))
        throw std::runtime_error("can't " + what + " " + quoted(shown) + ": " +
                                 os::describe(error));
    return {os::isMissing(error), "can't open " + quoted(shown) + ": " + os::describe(error)};
}

// Where the open file really is must be below the folder: a folder on the way to it may have been
// replaced by a link since the mod was listed. Where the system cannot say from the handle, the
// path opened is resolved instead.
std::optional<TextureRefusal> requireBelow(const TextureFolder& folder, const os::File& opened,
                                           const std::string& openedAt, const std::string& shown) {
    std::string real;
    if (const auto error = opened.realPath(real)) {
        if (os::isResourceShortage(error))
            return refusal("open", shown, error);
        if (const auto again = os::realPath(openedAt, real))
            return refusal("open", shown, again);
    }
    if (!os::isBelow(real, folder.real))
        return TextureRefusal{false,
                              quoted(shown) + " leads to a file outside " + quoted(folder.path)};
    return std::nullopt;
}

// What a symbolic link at `path` leads to, if it is a regular file below the folder: the path to
// open it by, and its status.
std::optional<TextureRefusal> followLink(const TextureFolder& folder, const std::string& path,
                                         const std::string& shown, std::string& target,
                                         os::FileStatus& status) {
    if (const auto error = os::realPath(path, target))
        return refusal("open", shown, error);
    if (!os::isBelow(target, folder.real))
        return TextureRefusal{false, quoted(shown) + " is a symbolic link to a file outside " +
                                         quoted(folder.path)};
    if (const auto error = os::pathStatus(target, status))
        return refusal("open", shown, error);
    if (status.kind != os::FileKind::Regular)
        return TextureRefusal{false,
                              quoted(shown) + " is a symbolic link to " + kindName(status.kind)};
    return std::nullopt;
}

} // namespace

TextureFolder openTextureFolder(const std::string& path) {
    TextureFolder folder{path, {}};
    os::FileStatus inside;
    std::error_code error = os::realPath(path, folder.real);
    // Its own entry, looked up through it, tells whether names can be looked up in it at all.
    if (!error)
        error = os::linkStatus(path + "/.", inside);
    if (error)
        throw std::runtime_error("can't list the folder " + quoted(path) + ": " +
                                 os::describe(error) + archive_left::unchanged());
    return folder;
}

std::optional<TextureRefusal> openTexture(const TextureFolder& folder, const std::string& name,
                                          const std::string& shown, TextureFile& file,
                                          os::File& opened) {
    const std::string path = folder.path + "/" + name;
    os::FileStatus seen;
    if (const auto error = os::linkStatus(path, seen))
        return refusal("open", shown, error);
    std::string openedAt = path;
    if (seen.kind == os::FileKind::Link) {
        if (auto refused = followLink(folder, path, shown, openedAt, seen))
            return refused;
    } else if (seen.kind != os::FileKind::Regular) {
        return TextureRefusal{false, quoted(shown) + " is " + kindName(seen.kind)};
    }
    // The last component is not followed: what was looked at is what is opened, or nothing.
    if (const auto error =
            os::File::open(openedAt, os::File::Access::Read, opened, os::File::LastLink::Refuse))
        return refusal("open", shown, error);
    os::FileStatus status;
    if (const auto error = opened.status(status))
        return refusal("open", shown, error);
    // Windows reports no identity for a path, only for a handle.
    const bool sameFile = seen.identity == os::FileIdentity{} || status.identity == seen.identity;
    if (status.kind != os::FileKind::Regular || !sameFile)
        return TextureRefusal{false, "can't open " + quoted(shown) +
                                         ": it changed while it was being opened"};
    if (auto refused = requireBelow(folder, opened, openedAt, shown))
        return refused;
    file = {shown, openedAt, &folder, status.identity, status.size};
    return std::nullopt;
}

os::File reopenTexture(const TextureFile& file) {
    os::File opened;
    if (const auto error = os::File::open(file.openedAt, os::File::Access::Read, opened,
                                          os::File::LastLink::Refuse)) {
        if (os::isResourceShortage(error))
            throw std::runtime_error("can't open " + quoted(file.shown) + ": " +
                                     os::describe(error));
        throw TextureChanged(file.shown);
    }
    os::FileStatus status;
    if (const auto error = opened.status(status))
        throw std::runtime_error("can't read " + quoted(file.shown) + ": " + os::describe(error));
    if (status.kind != os::FileKind::Regular || status.identity != file.identity ||
        status.size != file.size ||
        requireBelow(*file.folder, opened, file.openedAt, file.shown).has_value())
        throw TextureChanged(file.shown);
    return opened;
}

void readTexture(const TextureFile& file, const os::File& opened, std::uint64_t offset,
                 MutableBytes into) {
    std::size_t got = 0;
    if (const auto error = opened.readAt(offset, into, got))
        throw std::runtime_error("can't read " + quoted(file.shown) + ": " + os::describe(error));
    os::FileStatus status;
    if (const auto error = opened.status(status))
        throw std::runtime_error("can't read " + quoted(file.shown) + ": " + os::describe(error));
    if (got != into.size() || status.size != file.size)
        throw TextureChanged(file.shown);
}

} // namespace dyeloom
