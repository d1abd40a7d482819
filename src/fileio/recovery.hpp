// Recovery from an interrupted patch: the journal left beside the archive is restored, or removed
// when it has nothing to restore, before the archive is read.
#pragma once

#include "os_process.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dyeloom {

// What a run did about the journal an interrupted patch had left beside the archive.
struct Recovery {
    enum class Outcome {
        NoJournal,
        Restored,          // its spans, from firstByte to lastByte, are as before that patch
        RemovedIncomplete, // the patch was interrupted before it changed the archive
        RemovedDone,       // the patch had completed (for a patch of several archives: its
                           // super-journal is gone); only its journal was left
    };
    Outcome outcome = Outcome::NoJournal;
    std::string journalPath;
    std::uint64_t firstByte = 0;
    std::uint64_t lastByte = 0;
    std::size_t spans = 0;
};

// Deals with the journal beside the archive at `path`, if there is one, under the archive's
// lock: restores the bytes it keeps, or removes it when it has nothing to restore. Where there
// is a journal, `lockToWrite` is called first with the words a failure of it ends with (it takes
// the run's lock to write the archive, and throws when it cannot), and stop signals are held
// from then on (the caller releases them). Throws when the journal cannot be applied; the
// archive and the journal are then left as they were.
Recovery recoverArchive(const std::string& path, os::StopSignals& signals,
                        const std::function<void(const std::string& tail)>& lockToWrite);

// What a run would do about the journal beside the archive at `path`, found without changing
// anything and without the archive's lock: for a run that only checks.
struct JournalFinding {
    enum class Kind {
        None,
        Restores, // a run puts back `restores`
        Removes,  // a run removes it: it has nothing to restore
        Refused,  // a run stops, saying `reason`, and keeps it
    };
    Kind kind = Kind::None;
    std::string journal; // as messages name it
    Recovery restores;
    std::string reason;
    // The super-journal of its patch, as messages name it, where a run would remove that too:
    // no other journal of the patch needs it.
    std::string superJournal;
};
// `settled` holds the journals a run deals with before this one (the run's earlier archives'),
// and gets this one's.
JournalFinding inspectJournal(const std::string& path, std::vector<std::string>& settled);

} // namespace dyeloom
