// Loading files and writing the archive: what is read, what is checked, what is written. The
// platform itself is reached through os_file.hpp; nothing here prints, every failure is thrown.
#pragma once

#include "bytes.hpp"
#include "os_file.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace dyeloom {

// The whole contents of one file, held in memory.
using ByteBuffer = std::vector<std::uint8_t>;

// A file could not be opened for reading. Its text is "fatal error"; the run prints the
// can't-open line naming path() before it.
class CantOpenError : public std::runtime_error {
public:
    explicit CantOpenError(std::string path)
        : std::runtime_error("fatal error"), path_(std::move(path)) {}
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

// Read-only contents of a file: memory-mapped where the system allows it, read into a
// ByteBuffer where it does not. Callers see one contiguous span either way.
class FileView {
public:
    explicit FileView(ByteBuffer bytes) : contents_(std::move(bytes)) {}
    explicit FileView(os::MappedRegion region) : contents_(std::move(region)) {}

    // A mapped view reads the file's own pages: if another program truncates the file while
    // this is read, the part past the new end is gone, and POSIX systems raise SIGBUS.
    [[nodiscard]] Bytes bytes() const noexcept;

private:
    std::variant<ByteBuffer, os::MappedRegion> contents_;
};

// Loads the file at `path` whole. Throws CantOpenError when it cannot be opened, and a
// std::runtime_error naming the file and the system's reason for every other failure.
ByteBuffer readFile(const std::string& path);

// How a viewed file will be read: all of it, or here and there.
enum class ReadPattern { Whole, Sparse };

// Like readFile, but maps the file instead of copying it when it can, so that a large archive
// costs neither a heap buffer nor a pass over every byte before the search starts. See
// FileView::bytes() for what a truncation by another program does to a mapped view.
FileView viewFile(const std::string& path, ReadPattern pattern);

// Overwrites `replacement.size()` bytes of the file at `path`, starting at `offset`, in place:
// the file is never truncated, keeps its length, inode, links and permissions. Under an
// exclusive lock it first checks that the bytes there still equal `expected` (another program
// may have changed the file since it was searched), writes, and returns only once the data is
// on the disk. If a write fails part way, the expected bytes are put back. Throws on any
// failure, with a message naming the file, the reason and the state the file is left in.
void writeArchive(const std::string& path, std::uint64_t offset, Bytes expected, Bytes replacement);

} // namespace dyeloom
