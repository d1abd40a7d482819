// Recovery from an interrupted patch: the journal left beside the archive is restored, or removed
// when it has nothing to restore, before the archive is read.
#pragma once

#include "os_process.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace dyeloom {

// What a run did about the journal an interrupted patch had left beside the archive.
struct Recovery {
    enum class Outcome {
        NoJournal,
        Restored,          // its spans, from firstByte to lastByte, are as before that patch
        RemovedIncomplete, // the patch was interrupted before it changed the archive
        RemovedDone,       // the patch had completed; only its journal was left
    };
    Outcome outcome = Outcome::NoJournal;
    std::string journalPath;
    std::uint64_t firstByte = 0;
    std::uint64_t lastByte = 0;
    std::size_t spans = 0;
};

// Deals with the journal beside the archive at `path`, if there is one, under the archive's
// lock: restores the bytes it keeps, or removes it when it has nothing to restore. Stop
// signals are held from the moment there is a journal (the caller releases them). Throws when
// the journal cannot be applied; the archive and the journal are then left as they were.
Recovery recoverArchive(const std::string& path, os::StopSignals& signals);

} // namespace dyeloom
