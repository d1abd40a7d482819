// The run's locks on its archives, and what a run says while it waits for another's.
#pragma once

#include "archive_locks.hpp"
#include "os_process.hpp"
#include "recovery.hpp"

#include <span>
#include <string>

namespace dyeloom {

// Locks the archives at `paths` for `purpose` (see ArchiveLocks). While another run holds one,
// a terminal shows "waiting for another run to finish with 'ARCHIVE'" on the progress line.
ArchiveLocks lockArchives(std::span<const std::string> paths, ArchiveLocks::Purpose purpose);

// Deals with the journal an interrupted patch left beside the archive at `path` (see
// recoverArchive), under the lock to write it, which it lets go of again.
Recovery recoverUnderLock(ArchiveLocks& locks, const std::string& path, os::StopSignals& signals);

} // namespace dyeloom
