// One archive's patch, step by step: the steps of the protocol in archive_writer.cpp, which a
// patch of one archive takes in order and a patch of several (game_writer.cpp) interleaves
// across its archives. Each step throws a message naming the file, the reason and what the step
// left the archive as; a step that wrote into the archive puts the old bytes back first.
#pragma once

#include "archive_writer.hpp"
#include "journal.hpp"
#include "locked_archive.hpp"

#include <span>
#include <string>

namespace dyeloom {

// The super-journal of a patch of several archives, as its journals name it, and the patch.
struct JournalPairing {
    std::string superJournal;
    PatchId patch{};
};

class ArchivePatch {
public:
    // `spans` and `bytes` must outlive the patch. Throws std::invalid_argument when the spans
    // are empty, overlap or are out of order.
    ArchivePatch(std::string path, std::span<const PatchSpan> spans, PatchBytes& bytes);

    // Opens and locks the archive and deals with a journal an interrupted run left (steps 2, 3).
    Recovery lock(const os::StopSignals& signals);
    // Journals every span, naming the super-journal of `pairing` unless it is empty, and flushes
    // the journal (steps 4, 5).
    void journal(const os::StopSignals& signals, const JournalPairing& pairing = {});
    // Writes every span (step 6).
    void write(const os::StopSignals& signals);
    // Flushes the archive (step 7).
    void flush();
    // Checks for changes by other programs, retires the journal and closes the archive (8, 9).
    void finish();

    // Puts back what was written and retires the journal: the words a message ends with.
    std::string rollBack();
    // Whether the journal stays on the disk to restore bytes a roll-back could not put back.
    [[nodiscard]] bool journalKept() const noexcept { return kept_; }
    [[nodiscard]] const JournalLocation& journalLocation() const noexcept { return where_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    void journalSpans(const os::StopSignals& signals, const JournalPairing& pairing);
    void requireUnchangedMeanwhile();

    std::string path_;
    std::span<const PatchSpan> spans_;
    PatchBytes* bytes_;
    std::uint64_t end_ = 0; // of the last span
    LockedArchive archive_;
    JournalLocation where_;
    Journal journal_;
    std::uint64_t written_ = 0; // bytes of all spans written so far
    bool kept_ = false;
};

} // namespace dyeloom
