#include "recovery.hpp"

#include "archive_state.hpp"
#include "locked_archive.hpp"
#include "super_journal.hpp"

#include <algorithm>
#include <optional>

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

// A journal whose pairing with its super-journal nothing on the disk settles.
[[noreturn]] void failUncertain(const JournalLocation& where, const std::string& path,
                                const std::string& why) {
    fail("can't tell whether the patch of several archives that " + quoted(where.shown) +
         ", the journal of " + quoted(path) + ", belongs to had completed: " + why +
         ", as when the game's folder has moved since" + archive_left::journalKept(where.shown) +
         ": put the folder back where it was, and run again");
}

// Whether the folder of `path` is there.
bool folderOfExists(const std::string& path) {
    bool folder = false;
    return !os::isFolder(path.substr(0, os::lastComponentAt(path)), folder) && folder;
}

// Whether the patch of several archives that the journal with `header` belongs to had
// committed: its super-journal is gone, or is another patch's. `ours` says whether the
// super-journal there is this patch's. Throws, keeping everything, when the super-journal
// cannot be read or trusted, or when what is on the disk does not settle it.
bool committed(const LockedArchive& archive, const JournalHeader& header,
               const JournalLocation& where, const std::string& path, std::string& superPath,
               bool& ours) {
    const std::string& reference = header.superJournal;
    superPath = superJournalPath(where.path, reference);
    const std::string shown = quoted(superJournalPath(where.shown, reference));
    const std::string of = ", the super-journal of " + quoted(where.shown) + " of " + quoted(path);
    os::FileStatus status;
    SuperJournalContents contents;
    if (const auto error = readSuperJournal(superPath, status, contents)) {
        // Named by name alone, it goes wherever the journal goes: gone, it was removed at the
        // commit point. Named by full path, only while its folder is still where it was.
        if (os::isMissing(error) && os::lastComponentAt(reference) != 0 &&
            !folderOfExists(superPath))
            failUncertain(where, path,
                          "its super-journal " + shown +
                              " is not where the journal says, nor is its folder");
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
    // A numbered patch knows its super-journal by its number; one of another patch there means
    // that this patch's had been removed: it had committed.
    if (isNumbered(header.patch) || isNumbered(contents.patch)) {
        ours = contents.patch == header.patch;
        return !ours;
    }
    // A patch of an earlier release, whose super-journal lists its journals by full path.
    const auto& listed = contents.journals;
    ours = std::find(listed.begin(), listed.end(), where.path) != listed.end();
    const auto sameName = [&](const std::string& journal) {
        return journal.substr(os::lastComponentAt(journal)) ==
               where.path.substr(os::lastComponentAt(where.path));
    };
    if (!ours && std::any_of(listed.begin(), listed.end(), sameName))
        failUncertain(where, path,
                      "its super-journal " + shown +
                          " lists a journal of that name in another folder");
    return !ours;
}

// Whether the super-journal at `superPath` is that of the patch `patch` (all zeros: of a patch
// of an earlier release) and no journal of that patch needs it once those of `settled` are dealt
// with.
// `patch` empty: of any patch, for a super-journal named after the archive whose lock the run
// holds, which no patch under way can have made.
bool spentAfter(const std::string& superPath, const std::optional<PatchId>& patch,
                const std::vector<std::string>& settled) {
    os::FileStatus status;
    SuperJournalContents contents;
    return !readSuperJournal(superPath, status, contents) && contents.wellFormed &&
           (!patch || contents.patch == *patch) &&
           journalLeftOf(superPath, contents, settled).empty();
}

// Removes the super-journal at `superPath` once no journal of its patch is left: the last
// journal of an interrupted patch has been dealt with. Only a patch's own super-journal goes:
// another at the name may be that of a patch under way.
void removeIfSpent(const std::string& superPath, const std::optional<PatchId>& patch) {
    if (!spentAfter(superPath, patch, {}))
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
    // The super-journal of its patch, where it names one and it is still there: removed once no
    // journal of the patch needs it.
    std::string superPath, superShown;
    std::optional<PatchId> patch;
};

// The super-journal a journal that cannot restore names, read from what of its head is there.
// One cut short before its head was written names none: the super-journal named after this
// archive, if any, may be that of its patch.
void pairingOfSpent(const JournalLocation& where, Judged& judged) {
    std::string reference;
    PatchId patch{};
    if (!judged.journal.readPairing(reference, patch) && !reference.empty()) {
        judged.superPath = superJournalPath(where.path, reference);
        judged.superShown = superJournalPath(where.shown, reference);
        judged.patch = patch;
    } else {
        const JournalLocation beside = superJournalBeside(where);
        judged.superPath = beside.path;
        judged.superShown = beside.shown;
    }
}

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
    const JournalHeader& header = judged.journal.header();
    if (judged.state == Journal::State::Valid && !header.superJournal.empty()) {
        bool ours = false;
        judged.committed = committed(archive, header, where, path, judged.superPath, ours);
        judged.patch = header.patch;
        judged.superShown = superJournalPath(where.shown, header.superJournal);
        if (!ours)
            judged.superPath.clear();
    } else if (judged.state != Journal::State::Valid) {
        pairingOfSpent(where, judged);
    }
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
    if (!judged.superPath.empty())
        removeIfSpent(judged.superPath, judged.patch);
    return recovery;
}

JournalFinding inspectJournal(const std::string& path, std::vector<std::string>& settled) {
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
        settled.push_back(where.path);
        if (!judged.superPath.empty() && spentAfter(judged.superPath, judged.patch, settled))
            finding.superJournal = judged.superShown;
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
