// POSIX side of the file layer.
#include "os_file.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace dyeloom::os {
namespace {

std::error_code lastError() {
    return {errno, std::system_category()};
}

// Keeps single transfers below the largest count every POSIX system accepts in one call.
constexpr std::size_t maxTransfer = std::size_t{1} << 30;

} // namespace

File File::open(const std::string& path, Access access, std::error_code& error) {
    const int mode = access == Access::Read ? O_RDONLY : O_RDWR;
    int fd;
    do {
        fd = ::open(path.c_str(), mode | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    error = fd < 0 ? lastError() : std::error_code{};
    return File(fd);
}

std::error_code File::status(FileStatus& status) const {
    struct stat info {};
    if (::fstat(handle_, &info) != 0)
        return lastError();
    status.size = static_cast<std::uint64_t>(info.st_size);
    status.kind = S_ISREG(info.st_mode)   ? FileKind::Regular
                  : S_ISDIR(info.st_mode) ? FileKind::Directory
                                          : FileKind::Other;
    return {};
}

IoResult File::readAt(std::uint64_t offset, std::span<std::uint8_t> into) const {
    IoResult result;
    while (result.bytes < into.size()) {
        const std::size_t want = std::min(into.size() - result.bytes, maxTransfer);
        const ssize_t got = ::pread(handle_, into.data() + result.bytes, want,
                                    static_cast<off_t>(offset + result.bytes));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            result.error = lastError();
            break;
        }
        if (got == 0)
            break; // end of file
        result.bytes += static_cast<std::size_t>(got);
    }
    return result;
}

IoResult File::writeAt(std::uint64_t offset, std::span<const std::uint8_t> from) const {
    IoResult result;
    while (result.bytes < from.size()) {
        const std::size_t want = std::min(from.size() - result.bytes, maxTransfer);
        const ssize_t put = ::pwrite(handle_, from.data() + result.bytes, want,
                                     static_cast<off_t>(offset + result.bytes));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            result.error = lastError();
            break;
        }
        if (put == 0) {
            // No progress and no reason given: retrying could spin forever.
            result.error = std::make_error_code(std::errc::io_error);
            break;
        }
        result.bytes += static_cast<std::size_t>(put);
    }
    return result;
}

std::error_code File::lockExclusive(int seconds) const {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        if (::flock(handle_, LOCK_EX | LOCK_NB) == 0)
            return {};
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK || steady_clock::now() >= deadline)
            return lastError();
        std::this_thread::sleep_for(milliseconds(20));
    }
}

std::error_code File::syncData() const {
    int rc;
    do {
#if defined(__linux__)
        // The file's length never changes here, so the data and the metadata needed to read
        // it back are all that must reach the disk.
        rc = ::fdatasync(handle_);
#else
        rc = ::fsync(handle_);
#endif
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? std::error_code{} : lastError();
}

std::error_code File::close() {
    if (handle_ < 0)
        return {};
    const int rc = ::close(std::exchange(handle_, -1));
    // After EINTR the descriptor is gone on Linux; retrying could close someone else's.
    return rc == 0 || errno == EINTR ? std::error_code{} : lastError();
}

void MappedRegion::release() noexcept {
    if (address_ != nullptr)
        ::munmap(address_, size_);
    address_ = nullptr;
    size_ = 0;
}

void* MappedRegion::mapPages(const File& file, std::size_t size, bool populate,
                             std::error_code& error) {
    int flags = MAP_SHARED;
#ifdef MAP_POPULATE
    if (populate)
        flags |= MAP_POPULATE;
#else
    (void)populate;
#endif
    void* address = ::mmap(nullptr, size, PROT_READ, flags, file.handle(), 0);
    if (address == MAP_FAILED) {
        error = lastError();
        return nullptr;
    }
    return address;
}

} // namespace dyeloom::os
