// The locks that keep runs of Dyeloom apart: a run never searches an archive that another is
// writing, and never writes one that another is searching or may write. The protocol and why it
// cannot deadlock are described in archive_locks.cpp.
#pragma once

#include "os_file.hpp"

#include <functional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace dyeloom {

class ArchiveLocks {
public:
    // What the run does with the archives: only reads them, or may write them.
    enum class Purpose { Check, Patch };
    // Told, with the archive's path, when a lock has to wait for another run (`waiting` true)
    // and when that wait is over (false).
    using Waiting = std::function<void(const std::string& path, bool waiting)>;

    ArchiveLocks() = default;
    // Locks each archive of `paths` for reading, and for a patch also against any other run
    // that may write it, waiting as long as other runs hold them: their locks end with their
    // processes at the latest. Paths that lead to nothing or to no regular file are left alone,
    // for loading them to say why. Throws a message ending in `tail` when a lock cannot be had.
    ArchiveLocks(std::span<const std::string> paths, Purpose purpose, const Waiting& waiting,
                 const std::string& tail);
    ArchiveLocks(ArchiveLocks&&) = default;
    ArchiveLocks& operator=(ArchiveLocks&&) = default;

    // Takes the lock to write each archive of `paths` (archives given to the constructor), once
    // the runs that read them are done; none can begin meanwhile. Throws a message ending in
    // `tail` when one cannot be written: it could not be opened for writing, or a lock failed.
    void lockToWrite(std::span<const std::string> paths, const std::string& tail);
    // Lets other runs read the archive at `path` again, keeping it from other writers.
    void unlockWrite(const std::string& path);

private:
    enum class Level { Shared, Reserved, Exclusive };
    struct Held {
        std::string path;
        os::FileIdentity identity;
        os::File file;
        std::error_code cannotWrite; // why the file could not be opened for writing
        Level level = Level::Shared;
    };

    void acquire(Held& held, Purpose purpose, const std::string& tail);
    void waitFor(const Held& held, std::uint64_t byte, os::File::LockMode mode,
                 const std::string& tail);
    Held* find(const std::string& path);

    std::vector<Held> held_; // in the order of their identities
    Waiting waiting_;
};

} // namespace dyeloom
