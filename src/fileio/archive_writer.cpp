// Writing the archive: the span is journalled, checked, written and flushed under an exclusive
// lock, and anything that stops the write part way is undone from the journal, now or by the
// next run. Each message says what state the archive is left in.
#include "fileio.hpp"
#include "journal.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// How long a run waits for another program's lock on the archive before giving up.
constexpr std::chrono::seconds lockPatience{30};

// The span is copied into the journal and written over in pieces of this size: the heap stays
// small whatever the texture's size, and a stop signal is seen within a piece's time.
constexpr std::size_t pieceBytes = 1 << 20;

const std::string unchanged = "; the archive is unchanged";

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

std::string interruptedBy(const char* signal) {
    return std::string("interrupted (") + signal + ")";
}

// The archive, open for update and locked against other runs.
struct LockedArchive {
    os::File file;
    os::FileStatus status;
};

// `tail` says, after the reason, what state a failure leaves things in.
LockedArchive openLocked(const std::string& path, const os::StopSignals& signals,
                         const std::string& tail) {
    LockedArchive archive;
    if (const auto error = os::File::open(path, os::File::Access::Update, archive.file))
        fail("can't open " + quoted(path) + " for writing: " + os::describe(error) + tail);
    if (const auto error = archive.file.status(archive.status))
        fail("can't query " + quoted(path) + ": " + os::describe(error) + tail);
    if (archive.status.kind != os::FileKind::Regular)
        fail("can't write " + quoted(path) + ": not a regular file" + tail);
    const auto error =
        archive.file.lockExclusive(lockPatience, [&] { return signals.held() != nullptr; });
    if (error == std::errc::interrupted)
        fail(interruptedBy(signals.held()) + " while waiting for the lock on " + quoted(path) +
             tail);
    if (error)
        fail("can't lock " + quoted(path) + ": " + os::describe(error) + tail);
    return archive;
}

std::string keptTail(const std::string& journalPath) {
    return "; nothing was changed, and its journal " + quoted(journalPath) +
           " of an interrupted patch is kept";
}

// A journal that can restore must belong to this archive as it is now.
void requireApplicable(const LockedArchive& archive, const Journal& journal,
                       const std::string& path) {
    const JournalHeader& header = journal.header();
    const std::string cannot =
        "can't restore " + quoted(path) + " from its journal " + quoted(journal.path()) + ": ";
    if (header.archiveSize != archive.status.size || header.offset > header.archiveSize ||
        header.length > header.archiveSize - header.offset)
        fail(cannot + "the archive is " + std::to_string(archive.status.size) + " bytes now, not " +
             std::to_string(header.archiveSize) + " as when the patch began" +
             keptTail(journal.path()));
    if (header.archive == archive.status.identity)
        return;
    std::uint32_t surroundings = 0;
    if (const auto error = surroundingsOf(archive.file, archive.status.size, header.offset,
                                          header.length, surroundings))
        fail(cannot + os::describe(error) + keptTail(journal.path()));
    if (surroundings != header.surroundings)
        fail(cannot + "the archive is another file now" + keptTail(journal.path()));
}

Recovery recoverLocked(const LockedArchive& archive, const std::string& path,
                       const std::string& journalPath) {
    Journal journal;
    Journal::State state{};
    if (const auto error = Journal::open(journalPath, journal, state)) {
        if (os::isMissing(error))
            return {};
        fail("can't read " + quoted(journalPath) + ", the journal of an interrupted patch of " +
             quoted(path) + ": " + os::describe(error) + keptTail(journalPath));
    }
    Recovery recovery{Recovery::Outcome::NoJournal, journalPath};
    switch (state) {
    case Journal::State::Unknown:
        fail(quoted(journalPath) + " is where the journal of " + quoted(path) +
             " belongs, but it is not a journal this version can read; nothing was changed, and "
             "it is kept");
    case Journal::State::Incomplete:
        recovery.outcome = Recovery::Outcome::RemovedIncomplete;
        break;
    case Journal::State::Done:
        recovery.outcome = Recovery::Outcome::RemovedDone;
        break;
    case Journal::State::Valid:
        requireApplicable(archive, journal, path);
        if (const auto error = journal.restore(archive.file, journal.header().length))
            fail("can't restore " + quoted(path) + " from its journal " + quoted(journalPath) +
                 ": " + os::describe(error) +
                 "; the journal is kept, and the next run on this archive will try again");
        recovery = {Recovery::Outcome::Restored, journalPath, journal.header().offset,
                    journal.header().offset + journal.header().length - 1};
        break;
    }
    // A restored journal that survives its removal only writes the same bytes back again.
    if (const auto error = journal.remove(); error && state != Journal::State::Valid)
        fail("can't remove " + quoted(journalPath) + ", the journal of an interrupted patch of " +
             quoted(path) + " that has nothing to restore: " + os::describe(error));
    return recovery;
}

// Copies the span into a new journal, checking on the way that it still holds what the search
// saw, and flushes the journal: after this the archive may change.
Journal journalSpan(const LockedArchive& archive, const std::string& path, std::uint64_t offset,
                    Bytes expected, const os::StopSignals& signals) {
    JournalHeader header{archive.status.identity, archive.status.size, offset, expected.size()};
    if (const auto error = surroundingsOf(archive.file, archive.status.size, offset,
                                          expected.size(), header.surroundings))
        fail("can't read " + quoted(path) + " before writing: " + os::describe(error) +
             "; nothing was written");
    const std::string journalPath = journalPathFor(path);
    Journal journal;
    if (const auto error = Journal::create(journalPath, header, journal)) {
        if (!journal.path().empty())
            journal.remove();
        fail("can't create the journal " + quoted(journalPath) + ": " + os::describe(error) +
             unchanged);
    }
    const auto abandon = [&](const std::string& message) {
        journal.remove();
        fail(message);
    };
    ByteBuffer piece(std::min(expected.size(), pieceBytes));
    for (std::size_t done = 0; done < expected.size();) {
        if (const char* signal = signals.held())
            abandon(interruptedBy(signal) + " before " + quoted(path) + " was changed" + unchanged);
        const MutableBytes part =
            MutableBytes(piece).first(std::min(piece.size(), expected.size() - done));
        std::size_t got = 0;
        if (const auto error = archive.file.readAt(offset + done, part, got))
            abandon("can't read " + quoted(path) + " before writing: " + os::describe(error) +
                    "; nothing was written");
        if (got != part.size() || !std::equal(part.begin(), part.end(),
                                              expected.begin() + static_cast<std::ptrdiff_t>(done)))
            abandon(quoted(path) + " changed while it was being patched: the bytes to be replaced "
                                   "are no longer the original texture's data; nothing was "
                                   "written");
        if (const auto error = journal.append(part))
            abandon("can't write the journal " + quoted(journalPath) + ": " + os::describe(error) +
                    unchanged);
        done += part.size();
    }
    if (const auto error = journal.seal())
        abandon("can't flush the journal " + quoted(journalPath) +
                " to disk: " + os::describe(error) + unchanged);
    return journal;
}

// Puts back the first `written` bytes of the span from the journal, and says how that went.
std::string rollBack(const LockedArchive& archive, Journal& journal, std::uint64_t written) {
    if (written == 0) {
        journal.retire();
        return "; nothing was written";
    }
    if (const auto error = journal.restore(archive.file, written))
        return "; putting the original bytes back failed too (" + os::describe(error) +
               "): the journal " + quoted(journal.path()) +
               " keeps them, and the next run on this archive will put them back";
    // Should the retired journal survive, it only writes the same bytes back again.
    journal.retire();
    return "; the original bytes were put back and the archive is unchanged";
}

void writeSpan(const LockedArchive& archive, const std::string& path, Journal& journal,
               Bytes replacement, const os::StopSignals& signals) {
    const std::uint64_t offset = journal.header().offset;
    for (std::size_t written = 0;;) {
        if (const char* signal = signals.held())
            fail(interruptedBy(signal) + " while " + quoted(path) + " was being written" +
                 rollBack(archive, journal, written));
        if (written == replacement.size())
            return;
        const Bytes part =
            replacement.subspan(written, std::min(pieceBytes, replacement.size() - written));
        std::size_t put = 0;
        const auto error = archive.file.writeAt(offset + written, part, put);
        written += put;
        if (error)
            fail("can't write " + quoted(path) + ": " + os::describe(error) +
                 rollBack(archive, journal, written));
    }
}

} // namespace

Recovery recoverArchive(const std::string& path, os::StopSignals& signals) {
    const std::string journalPath = journalPathFor(path);
    {
        os::File journal;
        if (os::isMissing(os::File::open(journalPath, os::File::Access::Read, journal)))
            return {};
    }
    signals.hold();
    const LockedArchive archive = openLocked(path, signals, keptTail(journalPath));
    return recoverLocked(archive, path, journalPath);
}

Recovery writeArchive(const std::string& path, std::uint64_t offset, Bytes expected,
                      Bytes replacement, os::StopSignals& signals) {
    if (expected.size() != replacement.size() || expected.empty())
        throw std::invalid_argument("writeArchive: an empty span, or sides of different sizes");
    signals.hold();
    LockedArchive archive = openLocked(path, signals, unchanged);
    const Recovery recovery = recoverLocked(archive, path, journalPathFor(path));
    if (offset > archive.status.size || replacement.size() > archive.status.size - offset)
        fail(quoted(path) + " is shorter than when it was searched; nothing was written");

    Journal journal = journalSpan(archive, path, offset, expected, signals);
    writeSpan(archive, path, journal, replacement, signals);
    if (const auto error = archive.file.syncData())
        fail("can't flush " + quoted(path) + " to disk: " + os::describe(error) +
             rollBack(archive, journal, replacement.size()));
    // The new bytes are on the disk: from here on the patch stands, whatever arrives.
    if (const auto error = journal.retire())
        fail(quoted(path) + " holds the modded texture's data, but its journal " +
             quoted(journal.path()) + " could not be retired (" + os::describe(error) +
             "): remove it before the next run on this archive, which would put the original "
             "bytes back");
    if (const auto error = archive.file.close())
        fail("can't close " + quoted(path) + ": " + os::describe(error) +
             "; the modded texture's data had been written and flushed before this error, so the "
             "archive most likely holds it");
    return recovery;
}

} // namespace dyeloom
