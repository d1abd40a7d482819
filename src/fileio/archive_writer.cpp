// Writing the archive: the span is journalled, checked, written and flushed under an exclusive
// lock, and anything that stops the write part way is undone from the journal, now or by the
// next run. Each message says what state the archive is left in.
#include "fileio.hpp"
#include "journal.hpp"

#include <algorithm>
#include <limits>
#include <vector>

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
         " belongs, but it is not trusted: " + reason + "; nothing was changed, and it is kept");
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
             keptTail(where.shown));
    for (std::size_t i = 0; i < header.spans.size(); ++i) {
        std::uint32_t surroundings = 0;
        if (const auto error =
                surroundingsOf(archive.file, archive.status.size, header.spans, i, surroundings))
            fail(cannot + os::describe(error) + keptTail(where.shown));
        if (surroundings != header.spans[i].surroundings)
            fail(cannot +
                 "the bytes around the journalled ones are not those the patch began with: "
                 "the archive is another file now, or the journal was not written for it" +
                 keptTail(where.shown));
    }
}

// The bytes a journal's spans cover, from the first to the last, for messages.
Recovery restoredBy(const Journal& journal) {
    const auto& spans = journal.header().spans;
    return {Recovery::Outcome::Restored, journal.shown(), spans.front().offset,
            spans.back().offset + spans.back().length - 1, spans.size()};
}

// Whether there is anything at the journal's name. Asked of the folder, without opening a file,
// so that a failure to open one (too many open files) is never taken for a journal.
bool journalExists(const JournalLocation& where, const std::string& path) {
    os::FileStatus found;
    const auto error = os::linkStatus(where.path, found);
    if (error && !os::isMissing(error))
        fail("can't look for the journal of " + quoted(path) + " at " + quoted(where.shown) + ": " +
             os::describe(error) + "; nothing was changed");
    return !error;
}

Recovery recoverLocked(const LockedArchive& archive, const std::string& path,
                       const JournalLocation& where) {
    if (!journalExists(where, path))
        return {};
    Journal journal;
    os::FileStatus found;
    if (const auto error = Journal::open(where, journal, found)) {
        if (os::isMissing(error))
            return {};
        if (os::isLink(error))
            failUntrusted(where, path, "it is a symbolic link");
        fail("can't read " + quoted(where.shown) + ", the journal of an interrupted patch of " +
             quoted(path) + ": " + os::describe(error) + keptTail(where.shown));
    }
    if (const char* reason = distrustOf(found, archive.status))
        failUntrusted(where, path, reason);
    Journal::State state{};
    if (const auto error = journal.check(state))
        fail("can't read " + quoted(where.shown) + ", the journal of an interrupted patch of " +
             quoted(path) + ": " + os::describe(error) + keptTail(where.shown));
    Recovery recovery{Recovery::Outcome::NoJournal, where.shown};
    switch (state) {
    case Journal::State::Unknown:
        fail(quoted(where.shown) + " is where the journal of " + quoted(path) +
             " belongs, but it is not a journal this version can read; nothing was changed, and "
             "it is kept");
    case Journal::State::Incomplete:
        recovery.outcome = Recovery::Outcome::RemovedIncomplete;
        break;
    case Journal::State::Done:
        recovery.outcome = Recovery::Outcome::RemovedDone;
        break;
    case Journal::State::Valid:
        requireApplicable(archive, journal, where, path);
        if (const auto error = journal.restore(archive.file, journal.header().length()))
            fail("can't restore " + quoted(path) + " from its journal " + quoted(where.shown) +
                 ": " + os::describe(error) +
                 "; the journal is kept, and the next run on this archive will try again");
        recovery = restoredBy(journal);
        break;
    }
    // A restored journal that survives its removal only writes the same bytes back again.
    if (const auto error = journal.remove(); error && state != Journal::State::Valid)
        fail("can't remove " + quoted(where.shown) + ", the journal of an interrupted patch of " +
             quoted(path) + " that has nothing to restore: " + os::describe(error));
    return recovery;
}

// Copies every span into a new journal, checking on the way that each still holds what the
// search saw, and flushes the journal: after this the archive may change.
Journal journalSpans(const LockedArchive& archive, const std::string& path,
                     const JournalLocation& where, std::span<const PatchSpan> spans,
                     PatchBytes& bytes, const os::StopSignals& signals) {
    JournalHeader header{archive.status.identity, archive.status.size, {}};
    for (const PatchSpan& span : spans)
        header.spans.push_back({span.offset, span.length, 0});
    for (std::size_t i = 0; i < header.spans.size(); ++i)
        if (const auto error = surroundingsOf(archive.file, archive.status.size, header.spans, i,
                                              header.spans[i].surroundings))
            fail("can't read " + quoted(path) + " before writing: " + os::describe(error) +
                 "; nothing was written");
    const std::string& journalPath = where.shown;
    Journal journal;
    if (const auto error = Journal::create(where, header, journal)) {
        if (journal.opened())
            journal.remove();
        fail("can't create the journal " + quoted(journalPath) + ": " + os::describe(error) +
             unchanged);
    }
    const auto abandon = [&](const std::string& message) {
        journal.remove();
        fail(message);
    };
    ByteBuffer piece(pieceBytes);
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const PatchSpan& span = spans[i];
        for (std::uint64_t done = 0; done < span.length;) {
            if (const char* signal = signals.held())
                abandon(interruptedBy(signal) + " before " + quoted(path) + " was changed" +
                        unchanged);
            const MutableBytes part = MutableBytes(piece).first(static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.size(), span.length - done)));
            std::size_t got = 0;
            if (const auto error = archive.file.readAt(span.offset + done, part, got))
                abandon("can't read " + quoted(path) + " before writing: " + os::describe(error) +
                        "; nothing was written");
            if (got != part.size() || !bytes.holdsExpected(i, done, part))
                abandon(quoted(path) +
                        " changed while it was being patched: the bytes to be replaced "
                        "are no longer the original texture's data; nothing was written");
            if (const auto error = journal.append(part))
                abandon("can't write the journal " + quoted(journalPath) + ": " +
                        os::describe(error) + unchanged);
            done += part.size();
        }
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
               "): the journal " + quoted(journal.shown()) +
               " keeps them, and the next run on this archive will put them back";
    // Should the retired journal survive, it only writes the same bytes back again.
    journal.retire();
    return "; the original bytes were put back and the archive is unchanged";
}

// Writes the spans in the journal's order, so that what was written is always the journal's
// first bytes: those a roll-back restores.
void writeSpans(const LockedArchive& archive, const std::string& path, Journal& journal,
                std::span<const PatchSpan> spans, PatchBytes& bytes,
                const os::StopSignals& signals) {
    std::uint64_t written = 0; // of all spans
    ByteBuffer piece(pieceBytes);
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const PatchSpan& span = spans[i];
        for (std::uint64_t done = 0;;) {
            if (const char* signal = signals.held())
                fail(interruptedBy(signal) + " while " + quoted(path) + " was being written" +
                     rollBack(archive, journal, written));
            if (done == span.length)
                break;
            const MutableBytes part = MutableBytes(piece).first(static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.size(), span.length - done)));
            try {
                bytes.readReplacement(i, done, part);
            } catch (const std::runtime_error& error) {
                fail(error.what() + rollBack(archive, journal, written));
            }
            std::size_t put = 0;
            const auto error = archive.file.writeAt(span.offset + done, part, put);
            done += put;
            written += put;
            if (error)
                fail("can't write " + quoted(path) + ": " + os::describe(error) +
                     rollBack(archive, journal, written));
        }
    }
}

// What another program did to the archive while the span was being written, or "". The lock
// binds only programs that ask for it: one that truncated the file would have it regrown by the
// positioned writes, one that renamed another file over it would have the patch go to the old
// one.
std::string changeMeanwhile(const LockedArchive& archive, const std::string& path,
                            const JournalHeader& header) {
    os::FileStatus now;
    if (const auto error = archive.file.status(now))
        return "its size could not be read back (" + os::describe(error) + ")";
    if (now.size != archive.status.size)
        return "another program changed its size from " + std::to_string(archive.status.size) +
               " to " + std::to_string(now.size) + " bytes";
    // A path that cannot be opened now for another reason (too many open files) tells nothing.
    os::File atPath;
    os::FileStatus there;
    if (const auto error = os::File::open(path, os::File::Access::Read, atPath);
        error && os::isMissing(error))
        return "another program removed it or gave it another name";
    if (atPath.handle() != os::File::noHandle && !atPath.status(there) &&
        there.identity != archive.status.identity)
        return "another program put another file in its place";
    for (std::size_t i = 0; i < header.spans.size(); ++i) {
        std::uint32_t surroundings = 0;
        if (surroundingsOf(archive.file, now.size, header.spans, i, surroundings) ||
            surroundings != header.spans[i].surroundings)
            return header.spans.size() == 1 ? "another program changed the bytes next to the span"
                                            : "another program changed the bytes next to a span";
    }
    return {};
}

// Checked once the span is on the disk: a run must not report as patched an archive that
// another program changed under it.
void requireUnchangedMeanwhile(const LockedArchive& archive, const std::string& path,
                               Journal& journal) {
    const JournalHeader& header = journal.header();
    const std::string change = changeMeanwhile(archive, path, header);
    if (change.empty())
        return;
    // Putting the old bytes back would not undo what the other program did.
    journal.retire();
    const Recovery spans = restoredBy(journal);
    const std::string first = std::to_string(spans.firstByte);
    const std::string last = std::to_string(spans.lastByte);
    const std::string where =
        spans.spans == 1
            ? "the modded texture's data was written over bytes " + first + " to " + last
            : "the modded textures' data was written over " + std::to_string(spans.spans) +
                  " spans between bytes " + first + " and " + last;
    fail(quoted(path) + " changed while it was being patched: " + change +
         " after its bytes were checked; " + where +
         " of the file that was there when the patch began, and nothing else was written");
}

// A patch whose spans' bytes are all in memory.
class BytesInMemory final : public PatchBytes {
public:
    explicit BytesInMemory(std::span<const SpanPatch> spans) : spans_(spans) {}

    bool holdsExpected(std::size_t span, std::uint64_t at, Bytes piece) override {
        const Bytes expected = spans_[span].expected.subspan(static_cast<std::size_t>(at));
        return piece.size() <= expected.size() &&
               std::equal(piece.begin(), piece.end(), expected.begin());
    }
    void readReplacement(std::size_t span, std::uint64_t at, MutableBytes into) override {
        const Bytes from = spans_[span].replacement.subspan(static_cast<std::size_t>(at));
        std::copy_n(from.begin(), into.size(), into.begin());
    }

private:
    std::span<const SpanPatch> spans_;
};

} // namespace

Recovery recoverArchive(const std::string& path, os::StopSignals& signals) {
    JournalLocation journal;
    // No file at the archive's path: there is nothing to recover, and loading it says why.
    if (locateJournal(path, journal) || !journalExists(journal, path))
        return {};
    signals.hold();
    const LockedArchive archive = openLocked(path, signals, keptTail(journal.shown));
    return recoverLocked(archive, path, journal);
}

Recovery writeArchive(const std::string& path, std::span<const PatchSpan> spans, PatchBytes& bytes,
                      os::StopSignals& signals) {
    std::uint64_t end = 0;
    for (const PatchSpan& span : spans) {
        if (span.length == 0 || span.offset < end)
            throw std::invalid_argument("writeArchive: an empty or overlapping span");
        if (span.length > std::numeric_limits<std::uint64_t>::max() - span.offset)
            fail(quoted(path) + " is shorter than when it was searched; nothing was written");
        end = span.offset + span.length;
    }
    if (spans.empty())
        throw std::invalid_argument("writeArchive: no span");
    signals.hold();
    LockedArchive archive = openLocked(path, signals, unchanged);
    JournalLocation where;
    if (const auto error = locateJournal(path, where))
        fail("can't find where the journal of " + quoted(path) +
             " belongs: " + os::describe(error) + unchanged);
    const Recovery recovery = recoverLocked(archive, path, where);
    if (end > archive.status.size)
        fail(quoted(path) + " is shorter than when it was searched; nothing was written");
    try {
        bytes.prepare();
    } catch (const std::runtime_error& error) {
        fail(error.what() + unchanged);
    }

    Journal journal = journalSpans(archive, path, where, spans, bytes, signals);
    writeSpans(archive, path, journal, spans, bytes, signals);
    if (const auto error = archive.file.syncData())
        fail("can't flush " + quoted(path) + " to disk: " + os::describe(error) +
             rollBack(archive, journal, journal.header().length()));
    // The new bytes are on the disk: from here on the patch stands, whatever arrives.
    requireUnchangedMeanwhile(archive, path, journal);
    const std::string data =
        spans.size() == 1 ? "the modded texture's data" : "the modded textures' data";
    if (const auto error = journal.retire())
        fail(quoted(path) + " holds " + data + ", but its journal " + quoted(where.shown) +
             " could not be retired (" + os::describe(error) +
             "): remove it before the next run on this archive, which would put the original "
             "bytes back");
    if (const auto error = archive.file.close())
        fail("can't close " + quoted(path) + ": " + os::describe(error) + "; " + data +
             " had been written and flushed before this error, so the archive most likely "
             "holds it");
    return recovery;
}

Recovery writeArchive(const std::string& path, std::span<const SpanPatch> spans,
                      os::StopSignals& signals) {
    std::vector<PatchSpan> where;
    for (const SpanPatch& span : spans) {
        if (span.expected.size() != span.replacement.size())
            throw std::invalid_argument("writeArchive: sides of different sizes");
        where.push_back({span.offset, span.expected.size()});
    }
    BytesInMemory bytes(spans);
    return writeArchive(path, where, bytes, signals);
}

} // namespace dyeloom
