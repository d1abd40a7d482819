// The file system calls Dyeloom makes, behind one small interface per platform. Every call
// reports its result; none of them prints or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>

namespace dyeloom::os {

enum class FileKind { Regular, Directory, Other };

struct FileStatus {
    FileKind kind = FileKind::Other;
    std::uint64_t size = 0;
};

// How many bytes a transfer moved, and why it stopped short if it did. A read that reaches the
// end of the file stops short with no error.
struct IoResult {
    std::size_t bytes = 0;
    std::error_code error;
};

// An open file, closed when the owner goes away. The explicit close() exists so that the writer
// can see a failed close, which on some file systems is where a lost write shows up.
class File {
public:
    enum class Access { Read, Update };

    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // Opening never blocks: a FIFO with no writer opens at once and is refused later, by kind.
    static File open(const std::string& path, Access access, std::error_code& error);

    std::error_code status(FileStatus& status) const;
    IoResult readAt(std::uint64_t offset, std::span<std::uint8_t> into) const;
    IoResult writeAt(std::uint64_t offset, std::span<const std::uint8_t> from) const;
    // Blocks until no other process holds the lock, or gives up with an error after `seconds`.
    std::error_code lockExclusive(int seconds) const;
    // Forces written data to stable storage.
    std::error_code syncData() const;
    std::error_code close();

#ifdef _WIN32
    using Handle = void*;
    static constexpr Handle noHandle = nullptr;
#else
    using Handle = int;
    static constexpr Handle noHandle = -1;
#endif
    [[nodiscard]] Handle handle() const noexcept {
        return handle_;
    }

private:
    explicit File(Handle handle) : handle_(handle) {}
    Handle handle_ = noHandle;
};

// A read-only view of a whole file's bytes in memory, unmapped when the owner goes away.
class MappedRegion {
public:
    MappedRegion() = default;
    MappedRegion(MappedRegion&& other) noexcept;
    MappedRegion& operator=(MappedRegion&& other) noexcept;
    MappedRegion(const MappedRegion&) = delete;
    MappedRegion& operator=(const MappedRegion&) = delete;
    ~MappedRegion();

    // Maps `size` bytes of `file`; fails (leaving nothing mapped) where the system cannot map it.
    // `populate` asks for every page up front, which is cheaper than faulting each one in when
    // all of them will be read.
    static MappedRegion map(const File& file, std::uint64_t size, bool populate,
                            std::error_code& error);

    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept;

private:
    // The platform's mapping of `size` (> 0) bytes; nullptr with `error` set where it fails.
    static void* mapPages(const File& file, std::size_t size, bool populate,
                          std::error_code& error);
    void release() noexcept;

    void* address_ = nullptr;
    std::size_t size_ = 0;
};

// The system's message for an error, without a trailing full stop or line break.
std::string describe(const std::error_code& error);

} // namespace dyeloom::os
