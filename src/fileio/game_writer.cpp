// Writing a patch into several archives: all of them, or none, through any failure, signal,
// crash or loss of power. Each archive goes through the steps of a patch of one
// (archive_writer.cpp), its journal naming one super-journal (super_journal.hpp); the
// super-journal's removal is the one moment the whole patch commits.
//
// The protocol, once the search has found every archive's spans:
//  1. Stop signals are held.
//  2. Every archive is opened for update and locked, in the order given, and a journal an
//     interrupted run left beside it is restored or removed.
//  3. The super-journal is created beside the first archive's journal, listing every journal
//     and naming the patch by a random number, and flushed with its folder.
//  4. Each archive's journal is written, naming the super-journal and the patch, and flushed
//     with its folder.
//  5. Each archive's spans are written.
//  6. Each archive is flushed.
//  7. The super-journal is removed and its folder flushed: the commit point.
//  8. Each archive is checked for changes by other programs, its journal retired, and closed.
//
// Crash points, and what the next run on any of the archives does with what is left:
//   during 2 or 3            no journal names a super-journal: nothing to do (a super-journal
//                            cut short is removed by the failing run, or stays, naming
//                            journals that do not exist, until the next patch replaces it)
//   during 4, 5, 6 or 7      the super-journal of the patch stands: each complete journal
//                            restores its archive (an incomplete one is removed, its archive
//                            untouched), and the last journal dealt with removes the
//                            super-journal, whichever archive it is of
//   after 7                  the patch's super-journal is gone (another patch's may stand at its
//                            name): each journal left is removed without restoring anything;
//                            every archive holds the patch
// A game's folder moved or copied whole keeps all of this: the super-journal and the journals
// beside it name one another by name alone. A journal that names its super-journal by full path
// (its archive lies in another folder) whose folder is gone is kept, and the run stops: nothing
// on the disk then says whether its patch had committed.
// A failure (not a crash) before 7 puts back every archive written so far and removes every
// journal, then the super-journal; if putting an archive back fails, its journal and the
// super-journal stay for the next run. A failure of the removal at 7 is one before 7.
#include "game_writer.hpp"

#include "archive_patch.hpp"
#include "archive_state.hpp"
#include "super_journal.hpp"

namespace dyeloom {
namespace {

// Puts back every archive but the one whose failure stopped the patch, which did so itself, and
// removes the super-journal unless a journal needs it still: the words a message ends with.
std::string abandon(std::vector<ArchivePatch>& archives, const JournalLocation& super,
                    std::size_t failed) {
    std::string kept;
    for (std::size_t i = 0; i < archives.size(); ++i) {
        if (i != failed)
            (void)archives[i].rollBack();
        if (archives[i].journalKept())
            kept += (kept.empty() ? "" : ", ") + quoted(archives[i].path());
    }
    if (!kept.empty())
        return "; the super-journal " + quoted(super.shown) + " is kept for the journals of " +
               kept + ", and the next run on these archives will put them back";
    if (!os::removeFile(super.path))
        (void)os::syncFolderOf(super.path);
    return "; every other archive is unchanged";
}

// A super-journal already at the name of this patch's: one no journal still names (a crash left
// it before any journal was written, or after the last was restored) is removed; one that lists a
// journal still on the disk belongs to an interrupted patch of other archives, which its own
// command restores, and is kept.
void clearSpent(const JournalLocation& super) {
    os::FileStatus status;
    SuperJournalContents contents;
    if (const auto error = readSuperJournal(super.path, status, contents)) {
        if (os::isMissing(error))
            return;
        fail("can't read " + quoted(super.shown) +
             ", where the super-journal of this patch "
             "belongs: " +
             os::describe(error) + "; every archive is unchanged");
    }
    if (const std::string journal = journalLeftOf(super.path, contents); !journal.empty())
        fail(quoted(super.shown) +
             ", the super-journal of an interrupted patch, names the journal " + quoted(journal) +
             ", which is still there; every archive is unchanged: run the command of that patch "
             "again first, which puts its archives back");
    // Flushed whole before any journal named it, one that is not whole was never named.
    if (const auto error = os::removeFile(super.path))
        fail("can't remove " + quoted(super.shown) + ", a super-journal no journal names: " +
             os::describe(error) + "; every archive is unchanged");
}

} // namespace

std::vector<ArchiveRecovery> writeGame(std::span<GamePatch> patches, os::StopSignals& signals) {
    std::vector<ArchivePatch> archives;
    for (GamePatch& patch : patches)
        archives.emplace_back(patch.path, patch.spans, *patch.bytes);
    signals.hold();
    std::vector<ArchiveRecovery> recoveries;
    for (ArchivePatch& archive : archives)
        recoveries.emplace_back(archive.path(), archive.lock(signals));

    const JournalLocation super = superJournalBeside(archives.front().journalLocation());
    std::vector<std::string> journals;
    for (const ArchivePatch& archive : archives)
        journals.push_back(archive.journalLocation().path);
    clearSpent(super);
    PatchId patch{};
    if (const auto error = newPatchId(patch))
        fail("can't number the patch: " + os::describe(error) + "; every archive is unchanged");
    if (const auto error = createSuperJournal(super, journals, patch))
        fail("can't create the super-journal " + quoted(super.shown) + ": " + os::describe(error) +
             "; every archive is unchanged");

    std::size_t at = 0; // the archive a step is under way in
    try {
        for (at = 0; at < archives.size(); ++at)
            archives[at].journal(
                signals,
                {superJournalReference(archives[at].journalLocation().path, super.path), patch});
        for (at = 0; at < archives.size(); ++at)
            archives[at].write(signals);
        for (at = 0; at < archives.size(); ++at)
            archives[at].flush();
    } catch (const std::runtime_error& error) {
        fail(error.what() + abandon(archives, super, at));
    }
    if (const auto error = os::removeFile(super.path))
        fail("can't remove the super-journal " + quoted(super.shown) + ": " + os::describe(error) +
             abandon(archives, super, archives.size()));
    // Until the removal is on the disk the journals stay active: a crash that brought the
    // super-journal back must find every one of them able to restore.
    if (const auto error = os::syncFolderOf(super.path))
        fail("can't flush the folder of the super-journal " + quoted(super.shown) + ": " +
             os::describe(error) +
             "; every archive holds the modded textures' data and keeps its journal: the next "
             "run on these archives removes them, or puts every archive back should a crash "
             "have undone the super-journal's removal");
    // Committed: the first failure to finish an archive is reported once all are finished.
    std::string failure;
    for (ArchivePatch& archive : archives) {
        try {
            archive.finish();
        } catch (const std::runtime_error& error) {
            if (failure.empty())
                failure = error.what();
        }
    }
    if (!failure.empty())
        fail(failure);
    return recoveries;
}

} // namespace dyeloom
