#include "fileio.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// How long a run waits for another program's lock on the archive before giving up.
constexpr std::chrono::seconds lockPatience{30};

// The check before writing reads the span back in pieces of this size: fresh memory for the
// whole span would cost more than the reading.
constexpr std::size_t checkPieceBytes = 64 * 1024;

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

struct OpenedFile {
    os::File file;
    std::uint64_t size = 0;
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
    return opened;
}

// Writes the original bytes back after a failed write, and says how that went.
std::string putBack(const os::File& file, std::uint64_t offset, Bytes original) {
    const std::string span =
        "bytes " + std::to_string(offset) + " to " + std::to_string(offset + original.size() - 1);
    std::size_t written = 0;
    if (const auto error = file.writeAt(offset, original, written))
        return "; putting the original bytes back failed too (" + os::describe(error) +
               "): " + span + " of the archive may be damaged";
    if (const auto error = file.syncData())
        return "; the original bytes were written back but could not be flushed (" +
               os::describe(error) + "): " + span + " of the archive may be damaged";
    return "; the original bytes were put back and the archive is unchanged";
}

// Checks, through the handle that is about to write, that the span still holds what the search
// saw. Another run, or the game's own tools, may have changed the archive in the meantime.
void checkUnchanged(const os::File& file, std::uint64_t offset, Bytes expected,
                    const std::string& path) {
    ByteBuffer current(std::min(expected.size(), checkPieceBytes));
    for (std::size_t done = 0; done < expected.size();) {
        const MutableBytes piece =
            MutableBytes(current).first(std::min(current.size(), expected.size() - done));
        std::size_t got = 0;
        if (const auto error = file.readAt(offset + done, piece, got))
            fail("can't read " + quoted(path) + " before writing: " + os::describe(error) +
                 "; nothing was written");
        if (got != piece.size() ||
            !std::equal(piece.begin(), piece.end(),
                        expected.begin() + static_cast<std::ptrdiff_t>(done)))
            fail(quoted(path) + " changed while it was being patched: the bytes to be replaced "
                                "are no longer the original texture's data; nothing was written");
        done += piece.size();
    }
}

} // namespace

Bytes FileView::bytes() const noexcept {
    if (const auto* region = std::get_if<os::MappedRegion>(&contents_))
        return region->bytes();
    return std::get<ByteBuffer>(contents_);
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
    {
        const OpenedFile opened = openForLoading(path);
        os::MappedRegion region;
        if (!os::MappedRegion::map(opened.file, opened.size, pattern == ReadPattern::Whole, region))
            return FileView(std::move(region));
    }
    // Some file systems and special files cannot be mapped; reading them is slower but works.
    return FileView(readFile(path));
}

void writeArchive(const std::string& path, std::uint64_t offset, Bytes expected,
                  Bytes replacement) {
    if (expected.size() != replacement.size())
        throw std::invalid_argument("writeArchive: expected and replacement sizes differ");

    os::File file;
    if (const auto error = os::File::open(path, os::File::Access::Update, file))
        fail("can't open " + quoted(path) + " for writing: " + os::describe(error) +
             "; the archive is unchanged");
    os::FileStatus status;
    if (const auto error = file.status(status))
        fail("can't query " + quoted(path) + ": " + os::describe(error) +
             "; the archive is unchanged");
    if (status.kind != os::FileKind::Regular)
        fail("can't write " + quoted(path) + ": not a regular file; the archive is unchanged");
    if (const auto error = file.lockExclusive(lockPatience))
        fail("can't lock " + quoted(path) + ": " + os::describe(error) +
             "; the archive is unchanged");
    if (offset > status.size || replacement.size() > status.size - offset)
        fail(quoted(path) + " is shorter than when it was searched; nothing was written");
    checkUnchanged(file, offset, expected, path);

    std::size_t written = 0;
    if (const auto error = file.writeAt(offset, replacement, written)) {
        const std::string outcome =
            written == 0 ? std::string("; nothing was written") : putBack(file, offset, expected);
        fail("can't write " + quoted(path) + ": " + os::describe(error) + outcome);
    }
    if (const auto error = file.syncData())
        fail("can't flush " + quoted(path) + " to disk: " + os::describe(error) +
             putBack(file, offset, expected));
    if (const auto error = file.close())
        fail("can't close " + quoted(path) + ": " + os::describe(error) +
             "; the modded texture's data had been written and flushed before this error, so the "
             "archive most likely holds it");
}

} // namespace dyeloom
