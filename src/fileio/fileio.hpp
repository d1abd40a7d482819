// Loading and storing whole files: the only part of Dyeloom that talks to the file system.
#pragma once

#include "os_file.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace dyeloom {

// The whole contents of one file, held in memory.
using ByteBuffer = std::vector<std::uint8_t>;

// Read-only contents of a file: memory-mapped where the system allows it, read into a
// ByteBuffer where it does not. Callers see one contiguous span either way.
class FileView {
public:
    explicit FileView(ByteBuffer bytes) : buffer_(std::move(bytes)) {}
    explicit FileView(os::MappedRegion region) : region_(std::move(region)), mapped_(true) {}

    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
        return mapped_ ? region_.bytes() : std::span<const std::uint8_t>(buffer_);
    }

private:
    ByteBuffer buffer_;
    os::MappedRegion region_;
    bool mapped_ = false;
};

// Loads the file at `path` whole. A file that cannot be opened prints "can't open '<path>'"
// and throws std::runtime_error("fatal error"); every other failure throws with a message that
// names the file and the system's reason.
ByteBuffer readFile(const std::string& path);

// How a viewed file will be read: all of it, or here and there.
enum class ReadPattern { Whole, Sparse };

// Like readFile, but maps the file instead of copying it when it can, so that a large archive
// costs neither a heap buffer nor a pass over every byte before the search starts.
FileView viewFile(const std::string& path, ReadPattern pattern);

// Overwrites `replacement.size()` bytes of the file at `path`, starting at `offset`, in place:
// the file is never truncated, keeps its length, inode, links and permissions. Under an
// exclusive lock it first checks that the bytes there still equal `expected` (another program
// may have changed the file since it was searched), writes, and makes the data durable before
// printing "texture data is replaced". If a write fails part way, the expected bytes are put
// back. Throws on any failure, with a message naming the file and the reason.
void writeArchive(const std::string& path, std::uint64_t offset,
                  std::span<const std::uint8_t> expected,
                  std::span<const std::uint8_t> replacement);

} // namespace dyeloom
