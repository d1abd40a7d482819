#include "recovery.hpp"

#include "archive_state.hpp"
#include "locked_archive.hpp"
#include "super_journal.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// Why a file at the journal's name cannot be trusted to say what the archive held, or nullptr.
// Anyone who may write it could make the next run write their bytes into the archive: only the
// user running the tool, the archive's owner and the superuser may have made it, and nobody else
// may have changed it since.
const char* distrustOf(const os::FileStatus& journal, const os::FileStatus& archive) {
    if (journal.kind != os::FileKind::Regular)
        return "it is not a regular file";
    const auto user = os::currentUser();
    if (journal.owner && *journal.owner != user && journal.owner != archive.owner &&
        *journal.owner != 0)
        return "it belongs to another user, neither the one running Dyeloom, nor the archive's "
               "owner, nor the superuser";
    if (journal.othersMayWrite)
        return "users other than its owner may write to it";
    return nullptr;
}

[[noreturn]] void failUntrusted(const JournalLocation& journal, const std::string& path,
                                const std::string& reason) {
    fail(quoted(journal.shown) + " is where the journal of " + quoted(path) +
         " belongs, but it is not trusted: " + reason + archive_left::foreignJournalKept());
}

// A journal that can restore must belong to this archive as it is now: the same size, and the
// same bytes around the span, which a patch never changes. The bytes are compared even when the
// file is the same one: a journal can be written by someone who only knows the archive's size
// and identity.
void requireApplicable(const LockedArchive& archive, const Journal& journal,
                       const JournalLocation& where, const std::string& path) {
    const JournalHeader& header = journal.header();
    const std::string cannot =
        "can't restore " + quoted(path) + " from its journal " + quoted(where.shown) + ": ";
    const JournalSpan& last = header.spans.back();
    if (header.archiveSize != archive.status.size || last.offset > header.archiveSize ||
        last.length > header.archiveSize - last.offset)
        fail(cannot + "the archive is " + std::to_string(archive.status.size) + " bytes now, not " +
             std::to_string(header.archiveSize) + " as when the patch began" +
             archive_left::journalKept(where.shown));
    for (std::size_t i = 0; i < header.spans.size(); ++i) {
        std::uint32_t surroundings = 0;
        if (const auto error =
                surroundingsOf(archive.file, archive.status.size, header.spans, i, surroundings))
            fail(cannot + os::describe(error) + archive_left::journalKept(where.shown));
        if (surroundings != header.spans[i].surroundings)
            fail(cannot +
                 "the bytes around the journalled ones are not those the patch began with: "
                 "the archive is another file now, or the journal was not written for it" +
                 archive_left::journalKept(where.shown));
    }
}

// Whether there is anything at the journal's name. Asked of the folder, without opening a file,
// so that a failure to open one (too many open files) is never taken for a journal.
bool journalExists(const JournalLocation& where, const std::string& path) {
    os::FileStatus found;
    const auto error = os::linkStatus(where.path, found);
    if (error && !os::isMissing(error))
        fail("can't look for the journal of " + quoted(path) + " at " + quoted(where.shown) + ": " +
             os::describe(error) + archive_left::nothingChanged());
    return !error;
}

// Whether the patch that `journal` (of a patch of several archives) belongs to had committed:
// its super-journal is gone, or lists other journals than this one (a later patch's). Throws,
// keeping everything, when the super-journal cannot be read or trusted.
bool committed(const LockedArchive& archive, const Journal& journal, const JournalLocation& where,
               const std::string& path, std::string& superPath) {
    const std::string& reference = journal.header().superJournal;
    superPath = superJournalPath(where.path, reference);
    const std::string shown = quoted(superJournalPath(where.shown, reference));
    const std::string of = ", the super-journal of " + quoted(where.shown) + " of " + quoted(path);
    os::FileStatus status;
    SuperJournalContents contents;
    if (const auto error = readSuperJournal(superPath, status, contents)) {
        if (os::isMissing(error))
            return true;
        fail(os::isLink(error) ? shown + of + ", is not trusted: it is a symbolic link" +
                                     archive_left::journalKept(where.shown)
                               : "can't read " + shown + of + ": " + os::describe(error) +
                                     archive_left::journalKept(where.shown));
    }
    if (const char* reason = distrustOf(status, archive.status))
        fail(shown + of + ", is not trusted: " + reason + archive_left::journalKept(where.shown));
    if (!contents.wellFormed)
        fail(shown + of + ", is not a super-journal this version can read" +
             archive_left::journalKept(where.shown));
    return std::find(contents.journals.begin(), contents.journals.end(), where.path) ==
           contents.journals.end();
}

// Removes the super-journal at `superPath` once no journal it lists is left: the last archive of
// an interrupted patch has been restored.
void removeIfSpent(const std::string& superPath) {
    os::FileStatus status;
    SuperJournalContents contents;
    if (readSuperJournal(superPath, status, contents) || !contents.wellFormed ||
        !journalLeftOf(contents).empty())
        return;
    if (!os::removeFile(superPath))
        (void)os::syncFolderOf(superPath);
}

// What the journal at `where` asks for, checked: its state, and for a patch of several archives
// whether that patch had committed. Throws, with nothing changed, when it cannot be used.
struct Judged {
    Journal journal;
    Journal::State state = Journal::State::Unknown;
    bool committed = false;
    std::string superPath;
};

bool judge(const LockedArchive& archive, const std::string& path, const JournalLocation& where,
           Judged& judged) {
    if (!journalExists(where, path))
        return false;
    os::FileStatus found;
    if (const auto error = Journal::open(where, judged.journal, found)) {
        if (os::isMissing(error))
            return false;
        if (os::isLink(error))
            failUntrusted(where, path, "it is a symbolic link");
        fail("can't read " + quoted(where.shown) + ", the journal of an interrupted patch of " +
             quoted(path) + ": " + os::describe(error) + archive_left::journalKept(where.shown));
    }
    if (const char* reason = distrustOf(found, archive.status))
        failUntrusted(where, path, reason);
    if (const auto error = judged.journal.check(judged.state))
        fail("can't read " + quoted(where.shown) + ", the journal of an interrupted patch of " +
             quoted(path) + ": " + os::describe(error) + archive_left::journalKept(where.shown));
    if (judged.state == Journal::State::Unknown)
        fail(quoted(where.shown) + " is where the journal of " + quoted(path) +
             " belongs, but it is not a journal this version can read" +
             archive_left::foreignJournalKept());
    if (judged.state == Journal::State::Valid && !judged.journal.header().superJournal.empty())
        judged.committed = committed(archive, judged.journal, where, path, judged.superPath);
    if (judged.state == Journal::State::Valid && !judged.committed)
        requireApplicable(archive, judged.journal, where, path);
    return true;
}

} // namespace

Recovery recoverLocked(const LockedArchive& archive, const std::string& path,
                       const JournalLocation& where) {
    Judged judged;
    if (!judge(archive, path, where, judged))
        return {};
    Journal& journal = judged.journal;
    const Journal::State state = judged.state;
    Recovery recovery{Recovery::Outcome::NoJournal, where.shown};
    if (state == Journal::State::Incomplete)
        recovery.outcome = Recovery::Outcome::RemovedIncomplete;
    else if (state == Journal::State::Done || judged.committed)
        recovery.outcome = Recovery::Outcome::RemovedDone;
    else {
        if (const auto error = journal.restore(archive.file, journal.header().length()))
            fail("can't restore " + quoted(path) + " from its journal " + quoted(where.shown) +
                 ": " + os::describe(error) + archive_left::restoreRetried());
        recovery = restoredBy(journal);
    }
    const bool restored = recovery.outcome == Recovery::Outcome::Restored;
    // A restored journal that survives its removal only writes the same bytes back again.
    if (const auto error = journal.remove(); error && !restored)
        fail("can't remove " + quoted(where.shown) + ", the journal of an interrupted patch of " +
             quoted(path) + " that has nothing to restore: " + os::describe(error));
    if (restored && !judged.superPath.empty())
        removeIfSpent(judged.superPath);
    return recovery;
}

JournalFinding inspectJournal(const std::string& path) {
    JournalFinding finding;
    JournalLocation where;
    LockedArchive archive; // read, not locked: nothing is changed
    if (locateJournal(path, where) || os::File::open(path, os::File::Access::Read, archive.file) ||
        archive.file.status(archive.status))
        return finding; // no archive there: loading it says why
    finding.journal = where.shown;
    try {
        Judged judged;
        if (!judge(archive, path, where, judged))
            return finding;
        if (judged.state == Journal::State::Valid && !judged.committed) {
            finding.kind = JournalFinding::Kind::Restores;
            finding.restores = restoredBy(judged.journal);
        } else {
            finding.kind = JournalFinding::Kind::Removes;
        }
    } catch (const std::runtime_error& error) {
        finding.kind = JournalFinding::Kind::Refused;
        finding.reason = error.what();
    }
    return finding;
}

Recovery recoverArchive(const std::string& path, os::StopSignals& signals,
                        const std::function<void(const std::string& tail)>& lockToWrite) {
    JournalLocation journal;
    // No file at the archive's path: there is nothing to recover, and loading it says why.
    if (const auto error = locateJournal(path, journal))
        return {};
    if (!journalExists(journal, path))
        return {};
    lockToWrite(archive_left::journalKept(journal.shown));
    signals.hold();
    const LockedArchive archive =
        openLocked(path, signals, archive_left::journalKept(journal.shown));
    return recoverLocked(archive, path, journal);
}

} // namespace dyeloom
