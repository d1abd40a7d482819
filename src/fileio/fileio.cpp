#include "fileio.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

struct OpenedFile {
    os::File file;
    std::uint64_t size = 0;
    os::FileIdentity identity;
};

[[noreturn]] void failSizeQuery(const std::string& path, const std::error_code& reason) {
    fail("file_size: " + os::describe(reason) + ": \"" + path + "\"");
}

// Opens a file to be loaded and learns its size from the open handle, so the size belongs to
// the very file that is read. Only regular files are loaded: a directory or a device has no
// size to read, and a FIFO would block.
OpenedFile openForLoading(const std::string& path) {
    OpenedFile opened;
    if (os::File::open(path, os::File::Access::Read, opened.file))
        throw CantOpenError(path);
    os::FileStatus status;
    if (const auto error = opened.file.status(status))
        failSizeQuery(path, error);
    if (status.kind == os::FileKind::Directory)
        failSizeQuery(path, std::make_error_code(std::errc::is_a_directory));
    if (status.kind != os::FileKind::Regular)
        failSizeQuery(path, std::make_error_code(std::errc::not_supported));
    opened.size = status.size;
    opened.identity = status.identity;
    return opened;
}

} // namespace

Bytes FileView::bytes() const noexcept {
    if (const auto* region = std::get_if<os::MappedRegion>(&contents_))
        return region->bytes();
    return std::get<ByteBuffer>(contents_);
}

bool FileView::damaged() const noexcept {
    const auto* region = std::get_if<os::MappedRegion>(&contents_);
    return region != nullptr && region->damaged();
}

ByteBuffer readFile(const std::string& path) {
    const OpenedFile opened = openForLoading(path);
    if (opened.size > ByteBuffer().max_size())
        throw std::length_error("vector too long");
    ByteBuffer buffer(static_cast<std::size_t>(opened.size));
    std::size_t got = 0;
    if (const auto error = opened.file.readAt(0, buffer, got))
        fail("can't read " + quoted(path) + ": " + os::describe(error));
    if (got != buffer.size())
        fail("can't read " + quoted(path) + ": the file ended after " + std::to_string(got) +
             " of its " + std::to_string(buffer.size()) + " bytes");
    return buffer;
}

FileView viewFile(const std::string& path, ReadPattern pattern) {
    os::FileIdentity identity;
    {
        const OpenedFile opened = openForLoading(path);
        os::MappedRegion region;
        if (!os::MappedRegion::map(opened.file, opened.size, pattern == ReadPattern::Whole, region))
            return FileView(std::move(region), opened.identity);
        identity = opened.identity;
    }
    // Some file systems and special files cannot be mapped; reading them is slower but works.
    return FileView(readFile(path), identity);
}

void requireIntact(const FileView& view, const std::string& path) {
    if (view.damaged())
        fail("can't read " + quoted(path) +
             ": part of it could not be read while it was in use (another program truncated it, "
             "or a read failed); the archive is unchanged");
}

} // namespace dyeloom
