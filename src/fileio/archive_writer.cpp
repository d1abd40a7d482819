// Writing a patch into the archive: every span, or none of them, through any failure, signal,
// crash or loss of power. This comment is the one description of the protocol; the tests'
// crash points (tests/fault_test.cpp) kill a run at each of its steps.
//
// The protocol, once the search has found the spans:
//  1. Stop signals are held: noted, acted on only at the points below.
//  2. The archive is opened for update (never truncated) and locked exclusively, waiting a while
//     for another program's lock (locked_archive.cpp).
//  3. A journal left by an interrupted run is restored or removed (recovery.cpp).
//  4. The journal is created beside the archive, exclusively and owner-only: the archive's
//     identity and size, each span's place and the checksum of the bytes around it (which a
//     patch never changes), then every span's bytes as the archive holds them, compared on the
//     way with what the search found, then a checksum of the whole (format in journal.hpp).
//  5. The journal and its folder are flushed: it is on the disk before the archive changes.
//  6. The spans are written, in the journal's order and in pieces, the held signals looked at
//     between pieces: what was written is always the journal's first bytes.
//  7. The archive is flushed. From here on the patch stands.
//  8. The archive is checked for changes by other programs, and the journal is marked done (one
//     byte, flushed), removed, and its folder flushed: a done journal a crash brings back is
//     removed without restoring anything.
//  9. The archive is closed; the run reports success, and a held signal takes effect.
//
// Crash points: what a run killed (or a machine losing power) at each step leaves, and what the
// next run on the archive does with it.
//   before 4, or during 4        nothing, or an incomplete journal: removed, the archive unchanged
//   during 5, 6 or 7             a complete journal: its bytes are put back, the patch redone
//   marking the journal done     a complete journal: put back, redone
//   after the mark is flushed    a done journal, or none: removed; the archive is patched
// A failure (not a crash) at 4 or 5 removes the journal: the archive is unchanged. At 6 or 7 the
// bytes written are put back from the journal, which is then retired; if that fails too, the
// journal stays for the next run. Each message says which (archive_state.hpp).
#include "archive_writer.hpp"

#include "archive_state.hpp"
#include "journal.hpp"
#include "locked_archive.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace dyeloom {
namespace {

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
                 archive_left::nothingWritten());
    const std::string& journalPath = where.shown;
    Journal journal;
    if (const auto error = Journal::create(where, header, journal)) {
        // A journal never flushed whole is removed by the next run should this fail.
        if (journal.opened())
            (void)journal.remove();
        fail("can't create the journal " + quoted(journalPath) + ": " + os::describe(error) +
             archive_left::unchanged());
    }
    const auto abandon = [&](const std::string& message) {
        // Not yet sealed, a journal left by a failed removal is incomplete: the next run removes
        // it without touching the archive.
        (void)journal.remove();
        fail(message);
    };
    ByteBuffer piece(journalPieceBytes);
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const PatchSpan& span = spans[i];
        for (std::uint64_t done = 0; done < span.length;) {
            if (const char* signal = signals.held())
                abandon(interruptedBy(signal) + " before " + quoted(path) + " was changed" +
                        archive_left::unchanged());
            const MutableBytes part = MutableBytes(piece).first(static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.size(), span.length - done)));
            std::size_t got = 0;
            if (const auto error = archive.file.readAt(span.offset + done, part, got))
                abandon("can't read " + quoted(path) + " before writing: " + os::describe(error) +
                        archive_left::nothingWritten());
            if (got != part.size() || !bytes.holdsExpected(i, done, part))
                abandon(quoted(path) +
                        " changed while it was being patched: the bytes to be replaced "
                        "are no longer the original texture's data" +
                        archive_left::nothingWritten());
            if (const auto error = journal.append(part))
                abandon("can't write the journal " + quoted(journalPath) + ": " +
                        os::describe(error) + archive_left::unchanged());
            done += part.size();
        }
    }
    if (const auto error = journal.seal())
        abandon("can't flush the journal " + quoted(journalPath) +
                " to disk: " + os::describe(error) + archive_left::unchanged());
    return journal;
}

// Puts back the first `written` bytes of the span from the journal, and says how that went.
std::string rollBack(const LockedArchive& archive, Journal& journal, std::uint64_t written) {
    if (written == 0) {
        // Should the journal survive, it only writes the same bytes back again.
        (void)journal.retire();
        return archive_left::nothingWritten();
    }
    if (const auto error = journal.restore(archive.file, written))
        return archive_left::journalKeepsThem(journal.shown(), os::describe(error));
    // Should the retired journal survive, it only writes the same bytes back again.
    (void)journal.retire();
    return archive_left::putBack();
}

// Writes the spans in the journal's order, so that what was written is always the journal's
// first bytes: those a roll-back restores.
void writeSpans(const LockedArchive& archive, const std::string& path, Journal& journal,
                std::span<const PatchSpan> spans, PatchBytes& bytes,
                const os::StopSignals& signals) {
    std::uint64_t written = 0; // of all spans
    ByteBuffer piece(journalPieceBytes);
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
    if (const auto error = os::File::open(path, os::File::Access::Read, atPath)) {
        if (os::isMissing(error))
            return "another program removed it or gave it another name";
    } else {
        os::FileStatus there;
        const auto statusError = atPath.status(there);
        if (!statusError && there.identity != archive.status.identity)
            return "another program put another file in its place";
    }
    for (std::size_t i = 0; i < header.spans.size(); ++i) {
        // Surroundings that cannot be read back are not known to be the same.
        std::uint32_t surroundings = 0;
        const auto error = surroundingsOf(archive.file, now.size, header.spans, i, surroundings);
        if (error || surroundings != header.spans[i].surroundings)
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
    // Putting the old bytes back would not undo what the other program did. Should the journal
    // survive, the next run finds the archive changed around its spans and keeps it unused.
    (void)journal.retire();
    const Recovery spans = restoredBy(journal);
    const std::string where =
        (spans.spans == 1 ? "the modded texture's data" : "the modded textures' data") +
        std::string(" was written over ") + spanText(spans.spans, spans.firstByte, spans.lastByte);
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

Recovery writeArchive(const std::string& path, std::span<const PatchSpan> spans, PatchBytes& bytes,
                      os::StopSignals& signals) {
    std::uint64_t end = 0;
    for (const PatchSpan& span : spans) {
        if (span.length == 0 || span.offset < end)
            throw std::invalid_argument("writeArchive: an empty or overlapping span");
        if (span.length > std::numeric_limits<std::uint64_t>::max() - span.offset)
            fail(quoted(path) + " is shorter than when it was searched" +
                 archive_left::nothingWritten());
        end = span.offset + span.length;
    }
    if (spans.empty())
        throw std::invalid_argument("writeArchive: no span");
    signals.hold();
    LockedArchive archive = openLocked(path, signals, archive_left::unchanged());
    JournalLocation where;
    if (const auto error = locateJournal(path, where))
        fail("can't find where the journal of " + quoted(path) +
             " belongs: " + os::describe(error) + archive_left::unchanged());
    const Recovery recovery = recoverLocked(archive, path, where);
    if (end > archive.status.size)
        fail(quoted(path) + " is shorter than when it was searched" +
             archive_left::nothingWritten());
    try {
        bytes.prepare();
    } catch (const std::runtime_error& error) {
        fail(error.what() + archive_left::unchanged());
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
