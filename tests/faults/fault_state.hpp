// What the fault library's parts share: the real calls beneath the ones it replaces, its
// settings, and what it has seen of the program so far. See inject_faults.cpp for the settings.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace faults {

template <typename F> F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The C library may call these before this library's globals are set up: look them up on use.
inline int realOpen(const char* path, int flags, mode_t mode = 0) {
    static const auto call = real<int (*)(const char*, int, ...)>("open");
    return call(path, flags, mode);
}
inline ssize_t realPread(int fd, void* data, size_t size, off_t offset) {
    static const auto call = real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    return call(fd, data, size, offset);
}
inline ssize_t realPwrite(int fd, const void* data, size_t size, off_t offset) {
    static const auto call = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    return call(fd, data, size, offset);
}
inline int realUnlink(const char* path) {
    static const auto call = real<int (*)(const char*)>("unlink");
    return call(path);
}

inline std::string setting(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "" : value;
}

// "KIND:N", as DYELOOM_CRASH and DYELOOM_RAISE give it.
struct Trigger {
    std::string kind;
    int count = 0;
};

inline Trigger triggerOf(const std::string& text) {
    const auto colon = text.find(':');
    return colon == std::string::npos
               ? Trigger{}
               : Trigger{text.substr(0, colon), std::atoi(text.c_str() + colon + 1)};
}

constexpr std::size_t sectorBytes = 512;

// What lost power could still take back from a file: the old bytes of the sectors written
// since its last flush, and its length at that flush.
struct Unflushed {
    std::map<std::uint64_t, std::vector<char>> oldSectors;
    off_t flushedLength = 0;
};

struct State {
    std::string fault, faultPath, powerLossSeed;
    int opensLog = -1;    // DYELOOM_OPENS, opened once so that logging needs no descriptor later
    long faultBytes = -1; // DYELOOM_FAULT_BYTES, -1 when unset
    bool readToEnd = false, faultDone = false;
    std::map<int, std::string> opened;      // every descriptor open() returned, and its path
    std::map<const DIR*, std::string> dirs; // every folder being listed, and its path
    Trigger crash, raise;
    std::map<std::string, int> stepsSeen; // by kind
    std::set<int> archiveFds, journalFds; // every archive open for update, every file created
    int faultedFd = -1;
    int archiveWrites = 0;
    std::map<int, std::string> paths;           // the archive's and the journal's descriptors
    std::map<std::string, Unflushed> unflushed; // by path
    std::set<std::string> createdUnflushed;
    std::map<std::string, std::string> removedUnflushed; // path -> a link kept to undo it

    [[nodiscard]] bool tracked(int fd) const {
        return archiveFds.count(fd) != 0 || journalFds.count(fd) != 0;
    }
    [[nodiscard]] const char* kindOf(int fd) const {
        return archiveFds.count(fd) != 0 ? "archive" : "journal";
    }
};

// The one state of the library, made on first use.
State& state();

// Adds "KIND PATH" to the log of what is opened and mapped, when there is one.
void logOpen(const State& s, const char* kind, const std::string& path);

// Called by close() before a file is closed: a read fault may act on it then.
void beforeClose(State& s, int fd);

} // namespace faults
