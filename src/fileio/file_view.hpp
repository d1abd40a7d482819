// Loading files: an archive mapped or read, a texture read whole, with every failure thrown with
// a message that names the file and the reason. Nothing in the file layer prints.
#pragma once

#include "bytes.hpp"
#include "os_file.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace dyeloom {

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
    // A sparse mapped view keeps its file open, for copy().
    struct Mapped {
        os::File file;
        os::MappedRegion region;
    };

    explicit FileView(ByteBuffer bytes) : contents_(std::move(bytes)) {}
    explicit FileView(Mapped mapped) : contents_(std::move(mapped)) {}

    // A mapped view reads the file's own pages. If another program truncates the file while
    // they are read, the part past the new end reads as zeros instead of ending the process
    // with SIGBUS, and so does a page the system fails to read: after reading, check with
    // requireIntact() before trusting what was read.
    [[nodiscard]] Bytes bytes() const noexcept;
    [[nodiscard]] bool damaged() const noexcept;
    // Starts reading the parts of bytes() that will be read soon (a mapped view only).
    void prefetch(std::span<const Bytes> parts) const noexcept;
    // Whether the file will be read in order from now on, or here and there (a mapped view
    // only; see os::File::expectInOrder).
    void expectInOrder(bool inOrder) const noexcept;
    // How many of `parts` (spans of bytes()) are in memory already: all of them for a view read
    // into memory, nothing where the system does not say.
    [[nodiscard]] std::optional<std::size_t> countResident(std::span<const Bytes> parts) const;
    // Copies `part` of bytes() into `into` with a positioned read of the file, which costs
    // less than touching a page of the mapping the first time. False if it cannot (not a
    // mapped view, or the read fails or comes short): the caller then reads `part` itself.
    bool copy(Bytes part, MutableBytes into) const noexcept;

private:
    std::variant<ByteBuffer, Mapped> contents_;
};

// Loads the file at `path` whole. Throws CantOpenError when it cannot be opened, and a
// std::runtime_error naming the file and the system's reason for every other failure.
ByteBuffer readFile(const std::string& path);

// How a viewed file will be read: all of it, or here and there (then only the parts announced
// through prefetch() are read ahead).
enum class ReadPattern { Whole, Sparse };

// A file opened to be loaded, whose size and identity are known before any of it is read.
struct LoadableFile {
    std::string path;
    os::File file;
    std::uint64_t size = 0;
    os::FileIdentity identity;
};

// Opens the file at `path` to be loaded. Throws as readFile does when it cannot be opened or is
// not a regular file, except, where `explainShortage` asks, when the system ran short of files or
// memory: that says nothing of the file, and the message gives the reason instead.
LoadableFile openToLoad(const std::string& path, bool explainShortage = false);

// Reads an opened file whole, with the checks and messages of readFile: what is read is the file's
// bytes as they were at that moment, whatever happens to the file afterwards.
ByteBuffer readOpened(const LoadableFile& opened);

// Like readFile, but maps the file instead of copying it when it can, so that a large archive
// costs neither a heap buffer nor a pass over every byte before the search starts. See
// FileView::bytes() for what a truncation by another program does to a mapped view.
FileView viewFile(LoadableFile opened, ReadPattern pattern);

// Throws, naming the file at `path`, if part of `view` could not be read after all (see
// FileView::bytes()): what was read from it then is not the file's content.
void requireIntact(const FileView& view, const std::string& path);

} // namespace dyeloom
