#include "fileio.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace dyeloom {
namespace {

// How long a run waits for another program's lock on the archive before giving up.
constexpr int lockWaitSeconds = 30;

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
    std::error_code error;
    os::File file = os::File::open(path, os::File::Access::Read, error);
    if (error) {
        std::printf("can't open '%s'\n", path.c_str());
        fail("fatal error");
    }
    os::FileStatus status;
    if (const auto statusError = file.status(status))
        failSizeQuery(path, statusError);
    if (status.kind == os::FileKind::Directory)
        failSizeQuery(path, std::make_error_code(std::errc::is_a_directory));
    if (status.kind != os::FileKind::Regular)
        failSizeQuery(path, std::make_error_code(std::errc::not_supported));
    return {std::move(file), status.size};
}

ByteBuffer readWhole(const os::File& file, std::uint64_t size, const std::string& path) {
    if (size > ByteBuffer().max_size())
        throw std::length_error("vector too long");
    ByteBuffer buffer(static_cast<std::size_t>(size));
    const os::IoResult read = file.readAt(0, buffer);
    if (read.error)
        fail("can't read " + quoted(path) + ": " + os::describe(read.error));
    if (read.bytes != buffer.size())
        fail("can't read " + quoted(path) + ": the file ended after " + std::to_string(read.bytes) +
             " of its " + std::to_string(buffer.size()) + " bytes");
    return buffer;
}

// Writes the original bytes back after a failed write, and says how that went.
std::string putBack(const os::File& file, std::uint64_t offset,
                    std::span<const std::uint8_t> original) {
    const std::string span =
        "bytes " + std::to_string(offset) + " to " + std::to_string(offset + original.size() - 1);
    const os::IoResult restore = file.writeAt(offset, original);
    if (restore.error)
        return "; putting the original bytes back failed too (" + os::describe(restore.error) +
               "): " + span + " of the archive may be damaged";
    if (const auto syncError = file.syncData())
        return "; the original bytes were written back but could not be flushed (" +
               os::describe(syncError) + "): " + span + " of the archive may be damaged";
    return "; the original bytes were put back and the archive is unchanged";
}

// Checks, through the handle that is about to write, that the span still holds what the search
// saw. Another run, or the game's own tools, may have changed the archive in the meantime.
void checkUnchanged(const os::File& file, std::uint64_t offset,
                    std::span<const std::uint8_t> expected, const std::string& path) {
    // A small buffer, reused: fresh memory for the whole span would cost more than the reading.
    ByteBuffer current(std::min<std::size_t>(expected.size(), 64 * 1024));
    for (std::size_t done = 0; done < expected.size();) {
        const auto chunk =
            std::span(current).first(std::min(current.size(), expected.size() - done));
        const os::IoResult read = file.readAt(offset + done, chunk);
        if (read.error)
            fail("can't read " + quoted(path) + " before writing: " + os::describe(read.error) +
                 "; nothing was written");
        if (read.bytes != chunk.size() ||
            !std::equal(chunk.begin(), chunk.end(),
                        expected.begin() + static_cast<std::ptrdiff_t>(done)))
            fail(quoted(path) + " changed while it was being patched: the bytes to be replaced "
                                "are no longer the original texture's data; nothing was written");
        done += chunk.size();
    }
}

} // namespace

ByteBuffer readFile(const std::string& path) {
    const OpenedFile opened = openForLoading(path);
    return readWhole(opened.file, opened.size, path);
}

FileView viewFile(const std::string& path, ReadPattern pattern) {
    const OpenedFile opened = openForLoading(path);
    std::error_code mapError;
    os::MappedRegion region =
        os::MappedRegion::map(opened.file, opened.size, pattern == ReadPattern::Whole, mapError);
    if (!mapError)
        return FileView(std::move(region));
    // Some file systems and special files cannot be mapped; reading them is slower but works.
    return FileView(readWhole(opened.file, opened.size, path));
}

void writeArchive(const std::string& path, std::uint64_t offset,
                  std::span<const std::uint8_t> expected,
                  std::span<const std::uint8_t> replacement) {
    if (expected.size() != replacement.size())
        throw std::invalid_argument("writeArchive: expected and replacement sizes differ");

    std::error_code error;
    os::File file = os::File::open(path, os::File::Access::Update, error);
    if (error)
        fail("can't open " + quoted(path) + " for writing: " + os::describe(error) +
             "; the archive is unchanged");
    os::FileStatus status;
    if (const auto statusError = file.status(status))
        fail("can't query " + quoted(path) + ": " + os::describe(statusError) +
             "; the archive is unchanged");
    if (status.kind != os::FileKind::Regular)
        fail("can't write " + quoted(path) + ": not a regular file; the archive is unchanged");
    if (const auto lockError = file.lockExclusive(lockWaitSeconds))
        fail("can't lock " + quoted(path) + ": " + os::describe(lockError) +
             "; the archive is unchanged");
    if (offset > status.size || replacement.size() > status.size - offset)
        fail(quoted(path) + " is shorter than when it was searched; nothing was written");
    checkUnchanged(file, offset, expected, path);

    const os::IoResult written = file.writeAt(offset, replacement);
    if (written.error) {
        const std::string outcome = written.bytes == 0 ? std::string("; nothing was written")
                                                       : putBack(file, offset, expected);
        fail("can't write " + quoted(path) + ": " + os::describe(written.error) + outcome);
    }
    if (const auto syncError = file.syncData())
        fail("can't flush " + quoted(path) + " to disk: " + os::describe(syncError) +
             putBack(file, offset, expected));
    if (const auto closeError = file.close())
        fail("can't close " + quoted(path) + ": " + os::describe(closeError) +
             "; the modded texture's data had been written and flushed before this error, so the "
             "archive most likely holds it");
    std::fputs("texture data is replaced\n", stdout);
}

} // namespace dyeloom
