#include "file_view.hpp"

#include "archive_state.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

[[noreturn]] void failSizeQuery(const std::string& path, const std::error_code& reason) {
    fail("file_size: " + os::describe(reason) + ": \"" + path + "\"");
}

} // namespace

// The size comes from the open handle, so it belongs to the very file that is read. Only regular
// files are loaded: a directory or a device has no size to read, and a FIFO would block.
LoadableFile openToLoad(const std::string& path, bool explainShortage) {
    LoadableFile opened;
    opened.path = path;
    if (const auto error = os::File::open(path, os::File::Access::Read, opened.file)) {
        if (explainShortage && os::isResourceShortage(error))
            fail("can't open " + quoted(path) + ": " + os::describe(error) +
                 archive_left::unchanged());
        throw CantOpenError(path);
    }
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

Bytes FileView::bytes() const noexcept {
    if (const auto* mapped = std::get_if<Mapped>(&contents_))
        return mapped->region.bytes();
    return std::get<ByteBuffer>(contents_);
}

void FileView::prefetch(std::span<const Bytes> parts) const noexcept {
    if (const auto* mapped = std::get_if<Mapped>(&contents_))
        mapped->region.prefetch(parts);
}

void FileView::expectInOrder(bool inOrder) const noexcept {
    if (const auto* mapped = std::get_if<Mapped>(&contents_))
        mapped->file.expectInOrder(inOrder);
}

std::optional<std::size_t> FileView::countResident(std::span<const Bytes> parts) const {
    if (const auto* mapped = std::get_if<Mapped>(&contents_))
        return mapped->region.countResident(parts);
    return parts.size();
}

bool FileView::copy(Bytes part, MutableBytes into) const noexcept {
    const auto* mapped = std::get_if<Mapped>(&contents_);
    if (mapped == nullptr || into.size() != part.size())
        return false;
    const Bytes all = mapped->region.bytes();
    if (part.data() < all.data() || part.data() + part.size() > all.data() + all.size())
        return false;
    std::size_t got = 0;
    return !mapped->file.readAt(static_cast<std::uint64_t>(part.data() - all.data()), into, got) &&
           got == into.size();
}

bool FileView::damaged() const noexcept {
    const auto* mapped = std::get_if<Mapped>(&contents_);
    return mapped != nullptr && mapped->region.damaged();
}

ByteBuffer readFile(const std::string& path) {
    return readOpened(openToLoad(path));
}

ByteBuffer readOpened(const LoadableFile& opened) {
    const std::string& path = opened.path;
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

FileView viewFile(LoadableFile opened, ReadPattern pattern) {
    os::MappedRegion region;
    const auto use = pattern == ReadPattern::Whole ? os::MappedRegion::Use::Whole
                                                   : os::MappedRegion::Use::Sparse;
    if (const auto error = os::MappedRegion::map(opened.file, opened.size, use, region)) {
        // Some file systems and special files cannot be mapped; reading them is slower but
        // works. The file was only read: closing it loses nothing.
        (void)opened.file.close();
        return FileView(readFile(opened.path));
    }
    // Only a sparse view copies parts out; a file read whole needs no handle once mapped, and a
    // batch of thousands of textures then stays within the open-file limit.
    if (pattern == ReadPattern::Whole)
        (void)opened.file.close();
    return FileView(FileView::Mapped{std::move(opened.file), std::move(region)});
}

void requireIntact(const FileView& view, const std::string& path) {
    if (view.damaged())
        fail("can't read " + quoted(path) +
             ": part of it could not be read while it was in use (another program truncated it, "
             "or a read failed)" +
             archive_left::unchanged());
}

} // namespace dyeloom
