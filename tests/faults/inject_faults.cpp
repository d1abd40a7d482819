// A preload library that makes the file system calls Dyeloom uses fail on demand, so tests can
// run the real binary through every failure its write path and loads must survive.
//
//   DYELOOM_FAULT      which fault to inject (see the table below)
//   DYELOOM_FAULT_PATH for read faults: the path (as passed to open) whose reads fail
//
// The archive is recognised as the file opened for reading and writing; every write fault
// applies to that descriptor only.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum class Fault {
    None,
    OpenForWriting,     // opening the archive for update fails (EROFS)
    LockFails,          // the exclusive lock is refused (ENOLCK)
    FirstWrite,         // the first write fails before writing anything (ENOSPC)
    HalfWrite,          // half the span is written, then writing fails (EIO)
    HalfWriteNoRestore, // as HalfWrite, and writing the original bytes back fails too
    ShortWrites,        // every write moves at most 4 KiB: legal, and must be carried on
    ZeroWrite,          // a write moves nothing and gives no reason
    Sync,               // the flush to disk fails (EIO)
    Close,              // closing the archive fails (EIO)
    ReadFails,          // reading DYELOOM_FAULT_PATH fails (EIO)
    ReadShort,          // DYELOOM_FAULT_PATH ends early: reads stop half way
    NoMap,              // no file can be memory-mapped: every load takes the reading path
};

Fault configuredFault() {
    const char* name = std::getenv("DYELOOM_FAULT");
    if (name == nullptr)
        return Fault::None;
    const std::string_view n(name);
    if (n == "open-for-writing")
        return Fault::OpenForWriting;
    if (n == "lock")
        return Fault::LockFails;
    if (n == "first-write")
        return Fault::FirstWrite;
    if (n == "half-write")
        return Fault::HalfWrite;
    if (n == "half-write-no-restore")
        return Fault::HalfWriteNoRestore;
    if (n == "short-writes")
        return Fault::ShortWrites;
    if (n == "zero-write")
        return Fault::ZeroWrite;
    if (n == "sync")
        return Fault::Sync;
    if (n == "close")
        return Fault::Close;
    if (n == "read")
        return Fault::ReadFails;
    if (n == "read-short")
        return Fault::ReadShort;
    if (n == "no-map")
        return Fault::NoMap;
    return Fault::None;
}

const Fault fault = configuredFault();
int archiveFd = -1;     // the descriptor opened for update
int faultedReadFd = -1; // the descriptor of DYELOOM_FAULT_PATH
int writes = 0;         // writes seen on the archive so far

template <typename F> F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool isFaultPath(const char* path) {
    const char* wanted = std::getenv("DYELOOM_FAULT_PATH");
    return wanted != nullptr && std::strcmp(wanted, path) == 0;
}

int afterOpen(int fd, const char* path, int flags) {
    if (fd >= 0 && (flags & O_ACCMODE) == O_RDWR)
        archiveFd = fd;
    if (fd >= 0 && isFaultPath(path))
        faultedReadFd = fd;
    return fd;
}

int openChecked(const char* path, int flags, mode_t mode, int (*real)(const char*, int, ...)) {
    if (fault == Fault::OpenForWriting && (flags & O_ACCMODE) == O_RDWR) {
        errno = EROFS;
        return -1;
    }
    return afterOpen(real(path, flags, mode), path, flags);
}

ssize_t faultedWrite(int fd, const void* data, size_t size, off_t offset,
                     ssize_t (*real)(int, const void*, size_t, off_t)) {
    if (fd != archiveFd)
        return real(fd, data, size, offset);
    const int index = writes++;
    switch (fault) {
    case Fault::FirstWrite:
        errno = ENOSPC;
        return -1;
    case Fault::HalfWrite:          // fails once, after half the span; writing back then succeeds
    case Fault::HalfWriteNoRestore: // fails for good after half the span
        if (index == 0)
            return real(fd, data, size / 2, offset);
        if (index == 1 || fault == Fault::HalfWriteNoRestore) {
            errno = EIO;
            return -1;
        }
        return real(fd, data, size, offset);
    case Fault::ShortWrites:
        return real(fd, data, size < 4096 ? size : 4096, offset);
    case Fault::ZeroWrite:
        return index == 0 ? 0 : real(fd, data, size, offset);
    default:
        return real(fd, data, size, offset);
    }
}

ssize_t faultedRead(int fd, void* data, size_t size, off_t offset,
                    ssize_t (*real)(int, void*, size_t, off_t)) {
    if (fd == faultedReadFd && fault == Fault::ReadFails) {
        errno = EIO;
        return -1;
    }
    if (fd == faultedReadFd && fault == Fault::ReadShort)
        return offset > 0 ? 0 : real(fd, data, size / 2, offset);
    return real(fd, data, size, offset);
}

int faultedSync(int fd, int (*real)(int)) {
    // After a failed write the original bytes are written back and flushed; that flush may pass.
    if (fd == archiveFd && fault == Fault::Sync && writes == 1) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return openChecked(path, flags, mode, next<int (*)(const char*, int, ...)>("open"));
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return openChecked(path, flags, mode, next<int (*)(const char*, int, ...)>("open64"));
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    return faultedWrite(fd, data, size, offset,
                        next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite"));
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
    return pwrite(fd, data, size, offset);
}

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
    return faultedRead(fd, data, size, offset,
                       next<ssize_t (*)(int, void*, size_t, off_t)>("pread"));
}

ssize_t pread64(int fd, void* data, size_t size, off_t offset) {
    return pread(fd, data, size, offset);
}

// Read faults need the reading path, so the faulted file (or, for NoMap, every file) refuses
// to be mapped.
void* mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    const bool refuse =
        fd >= 0 &&
        ((fault == Fault::NoMap) ||
         (fd == faultedReadFd && (fault == Fault::ReadFails || fault == Fault::ReadShort)));
    if (refuse) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return next<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(address, size, protection,
                                                                        flags, fd, offset);
}

void* mmap64(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    return mmap(address, size, protection, flags, fd, offset);
}

int fsync(int fd) {
    return faultedSync(fd, next<int (*)(int)>("fsync"));
}

int fdatasync(int fd) {
    return faultedSync(fd, next<int (*)(int)>("fdatasync"));
}

int flock(int fd, int operation) {
    if (fd == archiveFd && fault == Fault::LockFails) {
        errno = ENOLCK;
        return -1;
    }
    return next<int (*)(int, int)>("flock")(fd, operation);
}

int close(int fd) {
    const int rc = next<int (*)(int)>("close")(fd);
    if (fd == archiveFd) {
        archiveFd = -1;
        if (fault == Fault::Close && rc == 0) {
            errno = EIO;
            return -1;
        }
    }
    return rc;
}

} // extern "C"
