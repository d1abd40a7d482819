// POSIX side of the platform layer's files, folders and paths.
#include "os_bus_error.hpp"
#include "os_file.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace dyeloom::os {
namespace {

std::error_code lastError() {
    return {errno, std::system_category()};
}

int openFlags(File::Access access) {
    switch (access) {
    case File::Access::Read:
        return O_RDONLY;
    case File::Access::Update:
        return O_RDWR;
    case File::Access::CreateNew:
        return O_RDWR | O_CREAT | O_EXCL;
    }
    return O_RDONLY;
}

FileKind kindOf(mode_t mode) {
    if (S_ISREG(mode))
        return FileKind::Regular;
    if (S_ISDIR(mode))
        return FileKind::Directory;
    if (S_ISLNK(mode))
        return FileKind::Link;
    if (S_ISFIFO(mode))
        return FileKind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FileKind::Device;
    if (S_ISSOCK(mode))
        return FileKind::Socket;
    return FileKind::Other;
}

void fillStatus(const struct stat& info, FileStatus& status) {
    status.size = static_cast<std::uint64_t>(info.st_size);
    status.identity = {static_cast<std::uint64_t>(info.st_dev),
                       static_cast<std::uint64_t>(info.st_ino)};
    status.kind = kindOf(info.st_mode);
    status.owner = static_cast<std::uint32_t>(info.st_uid);
    status.othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::error_code setByteLock(int fd, std::uint64_t offset, short type) {
#ifdef F_OFD_SETLK
    constexpr int command = F_OFD_SETLK;
#else
    constexpr int command = F_SETLK;
#endif
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = 1;
    int rc;
    do {
        rc = ::fcntl(fd, command, &lock);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return {};
    if (errno == EAGAIN || errno == EACCES)
        return std::make_error_code(std::errc::resource_unavailable_try_again);
    return lastError();
}

} // namespace

std::optional<std::uint32_t> currentUser() {
    return static_cast<std::uint32_t>(::geteuid());
}

std::error_code File::open(const std::string& path, Access access, File& file, LastLink lastLink) {
    const int flags = openFlags(access) | O_CLOEXEC | O_NONBLOCK |
                      (lastLink == LastLink::Refuse ? O_NOFOLLOW : 0);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return lastError();
    file = File(fd);
    return {};
}

std::error_code File::status(FileStatus& status) const {
    struct stat info {};
    if (::fstat(handle_, &info) != 0)
        return lastError();
    fillStatus(info, status);
    return {};
}

std::error_code File::realPath(std::string& resolved) const {
#if defined(__linux__)
    // The kernel's own record of what the descriptor names.
    const std::string link = "/proc/self/fd/" + std::to_string(handle_);
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
        if (length < 0)
            return lastError();
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            break;
        }
        target.resize(target.size() * 2);
    }
    if (target.empty() || target.front() != '/')
        return std::make_error_code(std::errc::function_not_supported);
    resolved = std::move(target);
    return {};
#elif defined(F_GETPATH)
    char path[PATH_MAX];
    if (::fcntl(handle_, F_GETPATH, path) != 0)
        return lastError();
    resolved = path;
    return {};
#else
    (void)resolved;
    return std::make_error_code(std::errc::function_not_supported);
#endif
}

std::error_code File::readOnce(std::uint64_t offset, MutableBytes into, std::size_t& done) const {
    ssize_t got;
    do {
        got = ::pread(handle_, into.data(), into.size(), static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return lastError();
    done = static_cast<std::size_t>(got);
    return {};
}

std::error_code File::writeOnce(std::uint64_t offset, Bytes from, std::size_t& done) const {
    ssize_t put;
    do {
        put = ::pwrite(handle_, from.data(), from.size(), static_cast<off_t>(offset));
    } while (put < 0 && errno == EINTR);
    if (put < 0)
        return lastError();
    done = static_cast<std::size_t>(put);
    return {};
}

std::error_code File::tryLockExclusive() const {
    int rc;
    do {
        rc = ::flock(handle_, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return {};
    if (errno == EWOULDBLOCK)
        return std::make_error_code(std::errc::resource_unavailable_try_again);
    return lastError();
}

// Open file description locks, where the system has them, belong to the open file as flock()'s
// do, so that closing another handle to the same file never drops them; classic record locks
// belong to the process.
std::error_code File::tryLockByte(std::uint64_t offset, LockMode mode) const {
    return setByteLock(handle_, offset, mode == LockMode::Shared ? F_RDLCK : F_WRLCK);
}

std::error_code File::unlockByte(std::uint64_t offset) const {
    return setByteLock(handle_, offset, F_UNLCK);
}

void File::expectInOrder(bool inOrder) const noexcept {
    ::posix_fadvise(handle_, 0, 0, inOrder ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
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

std::error_code linkStatus(const std::string& path, FileStatus& status) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return lastError();
    fillStatus(info, status);
    return {};
}

std::error_code pathStatus(const std::string& path, FileStatus& status) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return lastError();
    fillStatus(info, status);
    return {};
}

std::error_code isFolder(const std::string& path, bool& folder) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return lastError();
    folder = S_ISDIR(info.st_mode);
    return {};
}

namespace detail {

std::error_code listEntries(const std::string& path, const std::string& relative,
                            FolderListing& listing, std::vector<std::string>& pending) {
    struct CloseLater {
        DIR* dir;
        ~CloseLater() {
            if (dir != nullptr)
                ::closedir(dir);
        }
    } const opened{::opendir(path.c_str())};
    if (opened.dir == nullptr)
        return lastError();
    errno = 0;
    while (const dirent* entry = ::readdir(opened.dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat info {};
        if (::fstatat(::dirfd(opened.dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return lastError();
            errno = 0;
            continue;
        }
        std::string child = relative.empty() ? name : relative + "/" + name;
        if (S_ISDIR(info.st_mode))
            pending.push_back(std::move(child));
        else
            listing.files.push_back(
                {std::move(child), kindOf(info.st_mode), static_cast<std::uint64_t>(info.st_size)});
        errno = 0;
    }
    return errno != 0 ? lastError() : std::error_code{};
}

bool isGone(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

bool isSeparator(char c) {
    return std::string_view("/").find(c) != std::string_view::npos;
}

} // namespace detail

std::error_code realPath(const std::string& path, std::string& resolved) {
    struct FreeLater {
        char* text;
        ~FreeLater() { std::free(text); }
    } const real{::realpath(path.c_str(), nullptr)};
    if (real.text == nullptr)
        return lastError();
    resolved = real.text;
    return {};
}

std::size_t lastComponentAt(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

std::error_code removeFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? std::error_code{} : lastError();
}

std::error_code replaceFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code{} : lastError();
}

std::error_code syncFolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return lastError();
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    const std::error_code error = rc == 0 ? std::error_code{} : lastError();
    ::close(fd);
    return error;
}

bool isMissing(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory;
}

bool isResourceShortage(const std::error_code& error) {
    return error == std::errc::too_many_files_open ||
           error == std::errc::too_many_files_open_in_system ||
           error == std::errc::not_enough_memory || error == std::errc::no_buffer_space ||
           error == std::errc::io_error;
}

bool isLink(const std::error_code& error) {
    return error == std::errc::too_many_symbolic_link_levels;
}

} // namespace dyeloom::os
