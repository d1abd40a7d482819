// The archive open for update and locked against other runs: what recovery and the writer both
// work on, and the helpers their messages share.
#pragma once

#include "journal.hpp"
#include "os_file.hpp"
#include "os_process.hpp"
#include "recovery.hpp"

#include <stdexcept>
#include <string>

namespace dyeloom {

struct LockedArchive {
    os::File file;
    os::FileStatus status;
};

[[noreturn]] inline void fail(const std::string& message) {
    throw std::runtime_error(message);
}

inline std::string interruptedBy(const char* signal) {
    return std::string("interrupted (") + signal + ")";
}

// Opens and locks the archive at `path`, waiting for another program's lock for a while. `tail`
// says, after the reason, what state a failure leaves things in.
[[nodiscard]] LockedArchive openLocked(const std::string& path, const os::StopSignals& signals,
                                       const std::string& tail);

// The bytes restoring `journal` puts back: its spans, from the first byte of the first to the
// last byte of the last.
[[nodiscard]] Recovery restoredBy(const Journal& journal);

// Deals with the journal at `where`, if any, under the lock already held (see recoverArchive).
Recovery recoverLocked(const LockedArchive& archive, const std::string& path,
                       const JournalLocation& where);

} // namespace dyeloom
