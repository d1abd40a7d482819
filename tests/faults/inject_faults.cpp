// A preload library that makes the system calls Dyeloom uses fail, crash or lose power on
// demand, so that tests can run the real binary through every failure its write path must
// survive. Set by the environment:
//
//   DYELOOM_FAULT       a fault from the table in configuredFault()
//   DYELOOM_FAULT_PATH  the path (as opened) that read and truncation faults concern
//   DYELOOM_TRACE       a file that gets one line per step of the write protocol: "KIND FILE",
//                       KIND one of write, sync, create, remove; FILE one of archive, journal,
//                       folder
//   DYELOOM_CRASH       "KIND:N": the process is killed (SIGKILL) part way through the N-th step
//                       of that kind: a write after half its bytes, a flush before it happens,
//                       a creation or removal just after it
//   DYELOOM_POWER_LOSS  a seed: at the crash, also undo a random part of what had not been
//                       flushed, as lost power would: each 512-byte sector written since its
//                       file's last flush may keep its old bytes, a file may fall back to its
//                       flushed length, and a creation or removal not yet flushed in its folder
//                       may be undone (the approach of SQLite's crash tests)
//   DYELOOM_RAISE       "SIGNAL:N": the N-th write to the archive stops half way, raises SIGNAL
//                       (INT or TERM), and then goes on
//
// The archive is the file opened for reading and writing without being created; the journal
// is the file created; a folder is what is opened with O_DIRECTORY.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum class Fault {
    None,
    OpenForWriting,     // opening the archive for update fails (EROFS)
    LockFails,          // the exclusive lock is refused (ENOLCK)
    FirstWrite,         // the first write to the archive fails before writing anything (ENOSPC)
    HalfWrite,          // half the span is written, then writing fails once (EIO)
    HalfWriteNoRestore, // as HalfWrite, and every later write to the archive fails too
    ShortWrites,        // every write moves at most 4 KiB: legal, and must be carried on
    ZeroWrite,          // a write moves nothing and gives no reason
    Sync,               // the archive's first flush fails (EIO)
    Close,              // closing the archive fails (EIO)
    JournalWrite,       // writing the journal fails after its header (ENOSPC)
    ReadFails,          // reading DYELOOM_FAULT_PATH fails (EIO)
    ReadShort,          // DYELOOM_FAULT_PATH ends early: reads stop half way
    NoMap,              // no file can be memory-mapped: every load takes the reading path
    TruncateAfterMap,   // DYELOOM_FAULT_PATH is cut to half its size as soon as it is mapped
};

Fault configuredFault() {
    static const std::map<std::string, Fault> names = {
        {"open-for-writing", Fault::OpenForWriting},
        {"lock", Fault::LockFails},
        {"first-write", Fault::FirstWrite},
        {"half-write", Fault::HalfWrite},
        {"half-write-no-restore", Fault::HalfWriteNoRestore},
        {"short-writes", Fault::ShortWrites},
        {"zero-write", Fault::ZeroWrite},
        {"sync", Fault::Sync},
        {"close", Fault::Close},
        {"journal-write", Fault::JournalWrite},
        {"read", Fault::ReadFails},
        {"read-short", Fault::ReadShort},
        {"no-map", Fault::NoMap},
        {"truncate-after-map", Fault::TruncateAfterMap}};
    const char* name = std::getenv("DYELOOM_FAULT");
    const auto found = name == nullptr ? names.end() : names.find(name);
    return found == names.end() ? Fault::None : found->second;
}

template <typename F> F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The C library may call these before this library's globals are set up: look them up on use.
int realOpen(const char* path, int flags, mode_t mode = 0) {
    static const auto call = real<int (*)(const char*, int, ...)>("open");
    return call(path, flags, mode);
}
ssize_t realPread(int fd, void* data, size_t size, off_t offset) {
    static const auto call = real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    return call(fd, data, size, offset);
}
ssize_t realPwrite(int fd, const void* data, size_t size, off_t offset) {
    static const auto call = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    return call(fd, data, size, offset);
}
int realClose(int fd) {
    static const auto call = real<int (*)(int)>("close");
    return call(fd);
}
int realUnlink(const char* path) {
    static const auto call = real<int (*)(const char*)>("unlink");
    return call(path);
}

// "KIND:N" from the environment variable `name`.
struct Trigger {
    std::string kind;
    int count = 0;
};
Trigger trigger(const char* name) {
    const char* text = std::getenv(name);
    const char* colon = text == nullptr ? nullptr : std::strchr(text, ':');
    if (colon == nullptr)
        return {};
    return {std::string(text, colon), std::atoi(colon + 1)};
}

constexpr std::size_t sectorBytes = 512;

// What lost power could still take back from a file: the old bytes of the sectors written
// since its last flush, and its length at that flush.
struct Unflushed {
    std::map<std::uint64_t, std::vector<char>> oldSectors;
    off_t flushedLength = 0;
};

struct State {
    const Fault fault = configuredFault();
    const Trigger crash = trigger("DYELOOM_CRASH");
    const Trigger raise = trigger("DYELOOM_RAISE");
    const char* powerLossSeed = std::getenv("DYELOOM_POWER_LOSS");
    std::map<std::string, int> stepsSeen; // by kind
    int archiveFd = -1;
    int journalFd = -1;
    int faultedFd = -1;
    int archiveWrites = 0;
    std::map<int, std::string> paths;           // tracked descriptors
    std::map<std::string, Unflushed> unflushed; // by path
    std::set<std::string> createdUnflushed;
    std::map<std::string, std::string> removedUnflushed; // path -> a hard link kept to undo it
};

State& state() {
    static State instance;
    return instance;
}

bool isFaultPath(const char* path) {
    const char* wanted = std::getenv("DYELOOM_FAULT_PATH");
    return wanted != nullptr && std::strcmp(wanted, path) == 0;
}

const char* fileKind(int fd) {
    State& s = state();
    return fd == s.archiveFd ? "archive" : "journal";
}

void trace(const std::string& line) {
    const char* path = std::getenv("DYELOOM_TRACE");
    if (path == nullptr)
        return;
    const int fd = realOpen(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::string text = line + "\n";
    if (fd >= 0 && ::write(fd, text.data(), text.size()) >= 0)
        realClose(fd);
}

void losePower() {
    State& s = state();
    std::mt19937_64 rng(std::strtoull(s.powerLossSeed, nullptr, 10));
    const auto coin = [&] { return rng() % 2 == 0; };
    for (const auto& [path, link] : s.removedUnflushed) {
        if (coin())
            ::rename(link.c_str(), path.c_str());
        else
            realUnlink(link.c_str());
    }
    for (const auto& [path, file] : s.unflushed) {
        const int fd = realOpen(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        for (const auto& [sector, bytes] : file.oldSectors)
            if (coin())
                realPwrite(fd, bytes.data(), bytes.size(),
                           static_cast<off_t>(sector * sectorBytes));
        struct stat info {};
        if (::fstat(fd, &info) == 0 && info.st_size > file.flushedLength && coin())
            if (::ftruncate(fd, file.flushedLength) != 0)
                std::abort();
        realClose(fd);
    }
    for (const std::string& path : s.createdUnflushed)
        if (coin())
            realUnlink(path.c_str());
}

// Counts one step of the protocol, and says whether it is the one to crash in.
bool crashesHere(const char* kind, const char* file) {
    State& s = state();
    trace(std::string(kind) + " " + file);
    return s.crash.kind == kind && ++s.stepsSeen[kind] == s.crash.count;
}

[[noreturn]] void crash() {
    State& s = state();
    if (s.powerLossSeed != nullptr)
        losePower();
    else
        for (const auto& [path, link] : s.removedUnflushed)
            realUnlink(link.c_str());
    ::raise(SIGKILL);
    std::abort();
}

void rememberOldSectors(int fd, size_t size, off_t offset) {
    State& s = state();
    const auto tracked = s.paths.find(fd);
    if (s.powerLossSeed == nullptr || tracked == s.paths.end() || size == 0)
        return;
    Unflushed& file = s.unflushed[tracked->second];
    const std::uint64_t first = static_cast<std::uint64_t>(offset) / sectorBytes;
    const std::uint64_t last = (static_cast<std::uint64_t>(offset) + size - 1) / sectorBytes;
    for (std::uint64_t sector = first; sector <= last; ++sector) {
        if (file.oldSectors.count(sector) != 0)
            continue;
        std::vector<char> old(sectorBytes, 0);
        const ssize_t got =
            realPread(fd, old.data(), old.size(), static_cast<off_t>(sector * sectorBytes));
        old.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        file.oldSectors[sector] = std::move(old);
    }
}

void noteFlushed(int fd) {
    State& s = state();
    const auto tracked = s.paths.find(fd);
    if (tracked == s.paths.end()) {
        // A folder: the creations and removals in it are now lasting.
        for (const auto& [path, link] : s.removedUnflushed)
            realUnlink(link.c_str());
        s.removedUnflushed.clear();
        s.createdUnflushed.clear();
        return;
    }
    struct stat info {};
    Unflushed& file = s.unflushed[tracked->second];
    file.oldSectors.clear();
    if (::fstat(fd, &info) == 0)
        file.flushedLength = info.st_size;
}

int afterOpen(int fd, const char* path, int flags) {
    State& s = state();
    if (fd < 0)
        return fd;
    if ((flags & O_ACCMODE) == O_RDWR && (flags & O_CREAT) == 0) {
        s.archiveFd = fd;
        s.archiveWrites = 0;
        s.paths[fd] = path;
        struct stat info {};
        if (::fstat(fd, &info) == 0)
            s.unflushed.try_emplace(path, Unflushed{{}, info.st_size});
    } else if (flags & O_CREAT) {
        s.journalFd = fd;
        s.paths[fd] = path;
        s.unflushed[path] = {};
        s.createdUnflushed.insert(path);
        if (crashesHere("create", "journal"))
            crash();
    }
    if (isFaultPath(path))
        s.faultedFd = fd;
    return fd;
}

ssize_t faultedWrite(int fd, const void* data, size_t size, off_t offset) {
    State& s = state();
    if (fd != s.archiveFd && fd != s.journalFd)
        return realPwrite(fd, data, size, offset);
    if (crashesHere("write", fileKind(fd))) {
        rememberOldSectors(fd, size / 2, offset);
        realPwrite(fd, data, size / 2, offset);
        crash();
    }
    rememberOldSectors(fd, size, offset);
    if (fd == s.journalFd) {
        if (s.fault == Fault::JournalWrite && offset > 0) {
            errno = ENOSPC;
            return -1;
        }
        return realPwrite(fd, data, size, offset);
    }
    const int index = s.archiveWrites++;
    if (s.raise.count == index + 1) {
        const ssize_t half = realPwrite(fd, data, size / 2, offset);
        ::raise(s.raise.kind == "TERM" ? SIGTERM : SIGINT);
        return half;
    }
    switch (s.fault) {
    case Fault::FirstWrite:
        errno = ENOSPC;
        return -1;
    case Fault::HalfWrite:
    case Fault::HalfWriteNoRestore:
        if (index == 0)
            return realPwrite(fd, data, size / 2, offset);
        if (index == 1 || s.fault == Fault::HalfWriteNoRestore) {
            errno = EIO;
            return -1;
        }
        break;
    case Fault::ShortWrites:
        return realPwrite(fd, data, size < 4096 ? size : 4096, offset);
    case Fault::ZeroWrite:
        if (index == 0)
            return 0;
        break;
    default:
        break;
    }
    return realPwrite(fd, data, size, offset);
}

ssize_t faultedRead(int fd, void* data, size_t size, off_t offset) {
    State& s = state();
    if (fd == s.faultedFd && s.fault == Fault::ReadFails) {
        errno = EIO;
        return -1;
    }
    if (fd == s.faultedFd && s.fault == Fault::ReadShort)
        return offset > 0 ? 0 : realPread(fd, data, size / 2, offset);
    return realPread(fd, data, size, offset);
}

int faultedSync(int fd, int (*sync)(int)) {
    State& s = state();
    const bool tracked = fd == s.archiveFd || fd == s.journalFd;
    struct stat info {};
    const bool folder = !tracked && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    if ((tracked || folder) && crashesHere("sync", folder ? "folder" : fileKind(fd)))
        crash();
    // After a failed flush the original bytes are written back and flushed; that flush passes.
    if (fd == s.archiveFd && s.fault == Fault::Sync && s.archiveWrites == 1) {
        errno = EIO;
        return -1;
    }
    const int rc = sync(fd);
    if (rc == 0 && (tracked || folder))
        noteFlushed(fd);
    return rc;
}

int openChecked(const char* path, int flags, mode_t mode) {
    if (state().fault == Fault::OpenForWriting && (flags & O_ACCMODE) == O_RDWR &&
        (flags & O_CREAT) == 0) {
        errno = EROFS;
        return -1;
    }
    return afterOpen(realOpen(path, flags, mode), path, flags);
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return openChecked(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return openChecked(path, flags, mode);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    return faultedWrite(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
    return faultedWrite(fd, data, size, offset);
}

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
    return faultedRead(fd, data, size, offset);
}

ssize_t pread64(int fd, void* data, size_t size, off_t offset) {
    return faultedRead(fd, data, size, offset);
}

void* mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    State& s = state();
    const bool refuse =
        fd >= 0 &&
        (s.fault == Fault::NoMap ||
         (fd == s.faultedFd && (s.fault == Fault::ReadFails || s.fault == Fault::ReadShort)));
    if (refuse) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    void* mapped = real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(
        address, size, protection, flags, fd, offset);
    if (mapped != MAP_FAILED && fd >= 0 && fd == s.faultedFd &&
        s.fault == Fault::TruncateAfterMap) {
        struct stat info {};
        if (::fstat(fd, &info) != 0 ||
            ::truncate(std::getenv("DYELOOM_FAULT_PATH"), info.st_size / 2) != 0)
            std::abort();
    }
    return mapped;
}

void* mmap64(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    return mmap(address, size, protection, flags, fd, offset);
}

int fsync(int fd) {
    return faultedSync(fd, real<int (*)(int)>("fsync"));
}

int fdatasync(int fd) {
    return faultedSync(fd, real<int (*)(int)>("fdatasync"));
}

int flock(int fd, int operation) {
    if (fd == state().archiveFd && state().fault == Fault::LockFails) {
        errno = ENOLCK;
        return -1;
    }
    return real<int (*)(int, int)>("flock")(fd, operation);
}

int unlink(const char* path) {
    State& s = state();
    const bool journal = s.unflushed.count(path) != 0;
    if (journal && s.powerLossSeed != nullptr) {
        const std::string link = std::string(path) + ".unlinked";
        if (::link(path, link.c_str()) == 0)
            s.removedUnflushed[path] = link;
    }
    const int rc = realUnlink(path);
    if (journal && rc == 0 && crashesHere("remove", "journal"))
        crash();
    return rc;
}

int close(int fd) {
    State& s = state();
    const int rc = realClose(fd);
    s.paths.erase(fd);
    if (fd == s.journalFd)
        s.journalFd = -1;
    if (fd == s.archiveFd) {
        s.archiveFd = -1;
        if (s.fault == Fault::Close && rc == 0) {
            errno = EIO;
            return -1;
        }
    }
    return rc;
}

} // extern "C"
