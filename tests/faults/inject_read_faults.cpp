// The fault library's faults on reading: files that fail or change as they are read, entries
// removed while a folder is listed, and the log of what is opened and mapped. See
// inject_faults.cpp for the settings.
#include "fault_state.hpp"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace faults {
namespace {

// What another program does to a texture once Dyeloom has read it all: shortens it, or writes
// other bytes over it.
void meddleWithReadFile(State& s, int fd) {
    struct stat info {};
    if (s.faultDone || !s.readToEnd || ::fstat(fd, &info) != 0)
        return;
    s.faultDone = true;
    if (s.fault == "truncate-after-read") {
        const off_t cut =
            s.faultBytes < 0 ? info.st_size : std::min<off_t>(s.faultBytes, info.st_size);
        if (::truncate(s.faultPath.c_str(), info.st_size - cut) != 0)
            std::abort();
        return;
    }
    std::vector<char> bytes(static_cast<std::size_t>(info.st_size));
    const int out = realOpen(s.faultPath.c_str(), O_RDWR | O_CLOEXEC);
    if (out < 0 || realPread(out, bytes.data(), bytes.size(), 0) != info.st_size)
        std::abort();
    for (char& byte : bytes)
        byte = static_cast<char>(~byte);
    if (realPwrite(out, bytes.data(), bytes.size(), 0) != info.st_size)
        std::abort();
    real<int (*)(int)>("close")(out);
}

} // namespace

void logOpen(const State& s, const char* kind, const std::string& path) {
    const std::string line = std::string(kind) + " " + path + "\n";
    if (s.opensLog >= 0 && ::write(s.opensLog, line.data(), line.size()) < 0)
        std::abort();
}

void beforeClose(State& s, int fd) {
    if (fd == s.faultedFd && (s.fault == "truncate-after-read" || s.fault == "change-after-read"))
        meddleWithReadFile(s, fd);
}

} // namespace faults

using namespace faults;

extern "C" {

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
    State& s = state();
    if (fd == s.faultedFd && s.fault == "read") {
        errno = EIO;
        return -1;
    }
    if (fd == s.faultedFd && s.fault == "read-short")
        return offset > 0 ? 0 : realPread(fd, data, size / 2, offset);
    const ssize_t got = realPread(fd, data, size, offset);
    struct stat info {};
    if (fd == s.faultedFd && got >= 0 && ::fstat(fd, &info) == 0 && offset + got >= info.st_size)
        s.readToEnd = true;
    return got;
}

DIR* opendir(const char* path) {
    State& s = state();
    if (path == s.faultPath && (s.fault == "list-emfile" || s.fault == "list-eio")) {
        errno = s.fault == "list-emfile" ? EMFILE : EIO;
        return nullptr;
    }
    DIR* dir = real<DIR* (*)(const char*)>("opendir")(path);
    if (dir != nullptr)
        state().dirs[dir] = path;
    return dir;
}

int closedir(DIR* dir) {
    state().dirs.erase(dir);
    return real<int (*)(DIR*)>("closedir")(dir);
}

struct dirent* readdir(DIR* dir) {
    State& s = state();
    struct dirent* entry = real<struct dirent* (*)(DIR*)>("readdir")(dir);
    if (entry != nullptr && s.fault == "remove-while-listing" && s.dirs.count(dir) != 0 &&
        s.dirs[dir] + "/" + entry->d_name == s.faultPath) {
        std::error_code ignored;
        std::filesystem::remove_all(s.faultPath, ignored);
    }
    return entry;
}

void* mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    State& s = state();
    const bool readFault = s.fault == "read" || s.fault == "read-short";
    if (fd >= 0 && (s.fault == "no-map" || (fd == s.faultedFd && readFault))) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    void* mapped = real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(
        address, size, protection, flags, fd, offset);
    if (mapped != MAP_FAILED && fd >= 0 && s.opened.count(fd) != 0)
        logOpen(s, "map", s.opened[fd]);
    struct stat info {};
    if (mapped != MAP_FAILED && fd >= 0 && fd == s.faultedFd && s.fault == "truncate-after-map" &&
        (::fstat(fd, &info) != 0 || ::truncate(s.faultPath.c_str(), info.st_size / 2) != 0))
        std::abort();
    return mapped;
}

} // extern "C"
