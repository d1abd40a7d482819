// A preload library that makes the system calls Dyeloom uses fail, crash or lose power on
// demand, so that tests can run the real binary through every failure its write path must
// survive. Set by the environment:
//
//   DYELOOM_FAULT       one fault (an archive is a file opened for update, a journal a file
//                       created: a super-journal too; writes are counted across archives):
//     open-for-writing    opening the archive for update fails (EROFS)
//     lock                the archive's locks are refused (ENOLCK)
//     journal-write       writing the journal after its header fails (ENOSPC)
//     first-write         the first write to the archive fails, writing nothing (ENOSPC)
//     half-write          half the span is written, then a write fails once (EIO)
//     half-write-no-restore  as half-write, and every later write to the archive fails
//     short-writes        every write moves at most 4 KiB: legal, and must be carried on
//     zero-write          the first write to the archive moves nothing and gives no reason
//     sync                the archive's first flush fails (EIO)
//     close               closing the archive fails (EIO)
//     read, read-short    reading DYELOOM_FAULT_PATH fails (EIO), or stops half way
//     no-map              no file can be memory-mapped
//     truncate-after-map  DYELOOM_FAULT_PATH is cut to half its size as soon as it is mapped
//     truncate-after-read DYELOOM_FAULT_PATH loses its last DYELOOM_FAULT_BYTES bytes (all of them
//                         when unset) as it is closed, the first time a read has reached its end
//     change-after-read   every byte of DYELOOM_FAULT_PATH is inverted as it is closed, the first
//                         time a read has reached its end: another file of the same size
//     remove-while-listing  DYELOOM_FAULT_PATH (a file, or a folder with what it holds) is removed
//                         as its folder's listing reaches its name, before the name is returned
//     list-emfile, list-eio  the folder DYELOOM_FAULT_PATH cannot be listed: the process has too
//                         many files open (EMFILE), or the disk fails (EIO)
//     truncate-before-write  another program cuts the archive to half its size just before the
//                         first write to it
//     grow-before-write      another program appends 64 zero bytes to the archive just before
//                         the first write to it
//     replace-before-write   another program renames a copy of the archive over it just before
//                         the first write to it
//   DYELOOM_FAULT_PATH  the path (as opened) that the read and truncation faults concern
//   DYELOOM_OPENS       a file that gets a line for every file opened ("open PATH") and every
//                       file mapped ("map PATH"), paths as the program gave them
//   DYELOOM_TRACE       a file that gets a line per step of the write protocol, "KIND FILE":
//                       KIND write, sync, create or remove; FILE archive, journal or folder
//   DYELOOM_CRASH       "KIND:N": the process is killed (SIGKILL) part way through the N-th
//                       step of that kind: a write after half its bytes, a flush before it
//                       happens, a creation or removal just after it
//   DYELOOM_POWER_LOSS  a seed: at the crash, also undo a random part of what was not yet
//                       flushed, as lost power would (the approach of SQLite's crash tests):
//                       each 512-byte sector written since its file's last flush may keep its
//                       old bytes, a file may fall back to its flushed length, and a creation
//                       or removal not yet flushed in its folder may be undone
//   DYELOOM_RAISE       "SIGNAL:N": the N-th write to the archive stops half way, raises
//                       SIGINT (INT) or SIGTERM (TERM), and then goes on
#include "fault_state.hpp"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace faults {

State& state() {
    static State instance;
    return instance;
}

} // namespace faults

namespace {

using namespace faults;

// A sanitizer's runtime calls mmap and pread while it starts, before the environment can be
// read; the settings are read when this library is loaded, after that.
__attribute__((constructor)) void readSettings() {
    State& s = state();
    s.fault = setting("DYELOOM_FAULT");
    s.faultPath = setting("DYELOOM_FAULT_PATH");
    if (const std::string log = setting("DYELOOM_OPENS"); !log.empty()) {
        s.opensLog = realOpen(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (s.opensLog < 0)
            std::abort();
    }
    if (const std::string bytes = setting("DYELOOM_FAULT_BYTES"); !bytes.empty())
        s.faultBytes = std::stol(bytes);
    s.powerLossSeed = setting("DYELOOM_POWER_LOSS");
    s.crash = triggerOf(setting("DYELOOM_CRASH"));
    s.raise = triggerOf(setting("DYELOOM_RAISE"));
}

void losePower(State& s) {
    std::mt19937_64 rng(std::stoull(s.powerLossSeed));
    const auto coin = [&] { return rng() % 2 == 0; };
    for (const auto& [path, link] : s.removedUnflushed)
        if (!coin() || ::rename(link.c_str(), path.c_str()) != 0)
            realUnlink(link.c_str());
    for (const auto& [path, file] : s.unflushed) {
        const int fd = realOpen(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        for (const auto& [sector, bytes] : file.oldSectors)
            if (coin())
                realPwrite(fd, bytes.data(), bytes.size(),
                           static_cast<off_t>(sector * sectorBytes));
        struct stat info {};
        if (::fstat(fd, &info) == 0 && info.st_size > file.flushedLength && coin() &&
            ::ftruncate(fd, file.flushedLength) != 0)
            std::abort();
    }
    for (const std::string& path : s.createdUnflushed)
        if (coin())
            realUnlink(path.c_str());
}

// Counts one step of the protocol, and says whether it is the one to crash in.
bool crashesHere(State& s, const std::string& kind, const char* file) {
    if (const char* trace = std::getenv("DYELOOM_TRACE")) {
        const int fd = realOpen(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const std::string line = kind + " " + file + "\n";
        if (fd < 0 || ::write(fd, line.data(), line.size()) < 0)
            std::abort();
    }
    return s.crash.kind == kind && ++s.stepsSeen[kind] == s.crash.count;
}

[[noreturn]] void crash(State& s) {
    if (!s.powerLossSeed.empty())
        losePower(s);
    for (const auto& [path, link] : s.removedUnflushed)
        realUnlink(link.c_str());
    ::raise(SIGKILL);
    std::abort();
}

void rememberOldSectors(State& s, int fd, size_t size, off_t offset) {
    if (s.powerLossSeed.empty() || size == 0)
        return;
    Unflushed& file = s.unflushed[s.paths[fd]];
    for (auto sector = static_cast<std::uint64_t>(offset) / sectorBytes;
         sector <= (static_cast<std::uint64_t>(offset) + size - 1) / sectorBytes; ++sector) {
        if (file.oldSectors.count(sector) != 0)
            continue;
        std::vector<char> old(sectorBytes, 0);
        const ssize_t got =
            realPread(fd, old.data(), old.size(), static_cast<off_t>(sector * sectorBytes));
        old.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        file.oldSectors[sector] = std::move(old);
    }
}

void noteFlushed(State& s, int fd) {
    if (!s.tracked(fd)) { // a folder: the creations and removals in it now last
        for (const auto& [path, link] : s.removedUnflushed)
            realUnlink(link.c_str());
        s.removedUnflushed.clear();
        s.createdUnflushed.clear();
        return;
    }
    Unflushed& file = s.unflushed[s.paths[fd]];
    struct stat info {};
    file.oldSectors.clear();
    if (::fstat(fd, &info) == 0)
        file.flushedLength = info.st_size;
}

// What another program does to the archive between the check of its span and the write.
void meddleWithArchive(const State& s, int fd) {
    const std::string& path = s.paths.at(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        std::abort();
    if (s.fault == "truncate-before-write" && ::truncate(path.c_str(), info.st_size / 2) != 0)
        std::abort();
    if (s.fault == "grow-before-write" && ::truncate(path.c_str(), info.st_size + 64) != 0)
        std::abort();
    if (s.fault == "replace-before-write") {
        const std::string copy = path + ".copy";
        std::vector<char> bytes(static_cast<std::size_t>(info.st_size));
        const int out = realOpen(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (realPread(fd, bytes.data(), bytes.size(), 0) != info.st_size || out < 0 ||
            ::write(out, bytes.data(), bytes.size()) != info.st_size ||
            ::rename(copy.c_str(), path.c_str()) != 0)
            std::abort();
        real<int (*)(int)>("close")(out);
    }
}

ssize_t writeToArchive(State& s, int fd, const void* data, size_t size, off_t offset) {
    const int index = s.archiveWrites++;
    if (index == 0)
        meddleWithArchive(s, fd);
    if (s.raise.count == index + 1) {
        const ssize_t half = realPwrite(fd, data, size / 2, offset);
        ::raise(s.raise.kind == "TERM" ? SIGTERM : SIGINT);
        return half;
    }
    const bool halfWrite = s.fault == "half-write" || s.fault == "half-write-no-restore";
    if (halfWrite && index == 0)
        return realPwrite(fd, data, size / 2, offset);
    if ((s.fault == "first-write" && index == 0) ||
        (halfWrite && (index == 1 || s.fault == "half-write-no-restore"))) {
        errno = s.fault == "first-write" ? ENOSPC : EIO;
        return -1;
    }
    if (s.fault == "zero-write" && index == 0)
        return 0;
    if (s.fault == "short-writes")
        size = std::min<size_t>(size, 4096);
    return realPwrite(fd, data, size, offset);
}

int syncWith(int fd, const char* name) {
    State& s = state();
    struct stat info {};
    const bool folder = !s.tracked(fd) && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    if ((s.tracked(fd) || folder) && crashesHere(s, "sync", folder ? "folder" : s.kindOf(fd)))
        crash(s);
    // After a failed flush the original bytes are written back and flushed; that flush passes.
    if (s.archiveFds.count(fd) != 0 && s.fault == "sync" && s.archiveWrites == 1) {
        errno = EIO;
        return -1;
    }
    const int rc = real<int (*)(int)>(name)(fd);
    if (rc == 0 && (s.tracked(fd) || folder))
        noteFlushed(s, fd);
    return rc;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    State& s = state();
    const bool update = (flags & O_ACCMODE) == O_RDWR && (flags & O_CREAT) == 0;
    if (update && s.fault == "open-for-writing") {
        errno = EROFS;
        return -1;
    }
    const int fd = realOpen(path, flags, mode);
    if (fd < 0)
        return fd;
    s.opened[fd] = path;
    logOpen(s, "open", path);
    if (path == s.faultPath)
        s.faultedFd = fd;
    if (update) {
        s.archiveFds.insert(fd);
        s.archiveWrites = 0;
        s.paths[fd] = path;
        struct stat info {};
        if (::fstat(fd, &info) == 0)
            s.unflushed.try_emplace(path, Unflushed{{}, info.st_size});
    } else if (flags & O_CREAT) {
        s.journalFds.insert(fd);
        s.paths[fd] = path;
        s.unflushed[path] = {};
        s.createdUnflushed.insert(path);
        if (crashesHere(s, "create", "journal"))
            crash(s);
    }
    return fd;
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    State& s = state();
    if (!s.tracked(fd))
        return realPwrite(fd, data, size, offset);
    if (crashesHere(s, "write", s.kindOf(fd))) {
        rememberOldSectors(s, fd, size / 2, offset);
        realPwrite(fd, data, size / 2, offset);
        crash(s);
    }
    rememberOldSectors(s, fd, size, offset);
    if (s.archiveFds.count(fd) != 0)
        return writeToArchive(s, fd, data, size, offset);
    if (s.fault == "journal-write" && offset > 0) {
        errno = ENOSPC;
        return -1;
    }
    return realPwrite(fd, data, size, offset);
}

int fsync(int fd) {
    return syncWith(fd, "fsync");
}

int fdatasync(int fd) {
    return syncWith(fd, "fdatasync");
}

int flock(int fd, int operation) {
    if (state().archiveFds.count(fd) != 0 && state().fault == "lock") {
        errno = ENOLCK;
        return -1;
    }
    return real<int (*)(int, int)>("flock")(fd, operation);
}

// Every command Dyeloom gives takes a pointer or nothing as its third argument.
int fcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void* argument = va_arg(args, void*);
    va_end(args);
    const bool locking = command == F_OFD_SETLK || command == F_OFD_SETLKW || command == F_SETLK ||
                         command == F_SETLKW;
    if (locking && state().archiveFds.count(fd) != 0 && state().fault == "lock") {
        errno = ENOLCK;
        return -1;
    }
    return real<int (*)(int, int, void*)>("fcntl")(fd, command, argument);
}

int unlink(const char* path) {
    State& s = state();
    const bool journal = s.createdUnflushed.count(path) != 0 || s.unflushed.count(path) != 0;
    if (journal && !s.powerLossSeed.empty()) {
        const std::string link = std::string(path) + ".unlinked";
        if (::link(path, link.c_str()) == 0)
            s.removedUnflushed[path] = link;
    }
    const int rc = realUnlink(path);
    if (journal && rc == 0 && crashesHere(s, "remove", "journal"))
        crash(s);
    return rc;
}

int close(int fd) {
    State& s = state();
    beforeClose(s, fd);
    const int rc = real<int (*)(int)>("close")(fd);
    s.paths.erase(fd);
    s.opened.erase(fd);
    s.journalFds.erase(fd);
    if (s.archiveFds.erase(fd) != 0) {
        if (s.fault == "close" && rc == 0) {
            errno = EIO;
            return -1;
        }
    }
    return rc;
}

} // extern "C"
