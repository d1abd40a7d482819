#include "archive_patch.hpp"

#include "archive_state.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace dyeloom {
namespace {

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

} // namespace

ArchivePatch::ArchivePatch(std::string path, std::span<const PatchSpan> spans, PatchBytes& bytes)
    : path_(std::move(path)), spans_(spans), bytes_(&bytes) {
    for (const PatchSpan& span : spans) {
        if (span.length == 0 || span.offset < end_)
            throw std::invalid_argument("writeArchive: an empty or overlapping span");
        if (span.length > std::numeric_limits<std::uint64_t>::max() - span.offset)
            fail(quoted(path_) + " is shorter than when it was searched" +
                 archive_left::nothingWritten());
        end_ = span.offset + span.length;
    }
    if (spans.empty())
        throw std::invalid_argument("writeArchive: no span");
}

Recovery ArchivePatch::lock(const os::StopSignals& signals) {
    archive_ = openLocked(path_, signals, archive_left::unchanged());
    if (const auto error = locateJournal(path_, where_))
        fail("can't find where the journal of " + quoted(path_) +
             " belongs: " + os::describe(error) + archive_left::unchanged());
    const Recovery recovery = recoverLocked(archive_, path_, where_);
    if (end_ > archive_.status.size)
        fail(quoted(path_) + " is shorter than when it was searched" +
             archive_left::nothingWritten());
    return recovery;
}

void ArchivePatch::journal(const os::StopSignals& signals, const JournalPairing& pairing) {
    try {
        bytes_->prepare();
    } catch (const std::runtime_error& error) {
        fail(error.what() + archive_left::unchanged());
    }
    journalSpans(signals, pairing);
}

// Copies every span into a new journal, checking on the way that each still holds what the
// search saw, and flushes the journal: after this the archive may change.
void ArchivePatch::journalSpans(const os::StopSignals& signals, const JournalPairing& pairing) {
    JournalHeader header{
        archive_.status.identity, archive_.status.size, {}, pairing.superJournal, pairing.patch};
    for (const PatchSpan& span : spans_)
        header.spans.push_back({span.offset, span.length, 0});
    for (std::size_t i = 0; i < header.spans.size(); ++i)
        if (const auto error = surroundingsOf(archive_.file, archive_.status.size, header.spans, i,
                                              header.spans[i].surroundings))
            fail("can't read " + quoted(path_) + " before writing: " + os::describe(error) +
                 archive_left::nothingWritten());
    const std::string& journalPath = where_.shown;
    if (const auto error = Journal::create(where_, header, journal_)) {
        // A journal never flushed whole is removed by the next run should this fail.
        if (journal_.opened())
            (void)journal_.remove();
        fail("can't create the journal " + quoted(journalPath) + ": " + os::describe(error) +
             archive_left::unchanged());
    }
    const auto abandon = [&](const std::string& message) {
        // Not yet sealed, a journal left by a failed removal is incomplete: the next run removes
        // it without touching the archive.
        (void)journal_.remove();
        fail(message);
    };
    ByteBuffer piece(journalPieceBytes);
    for (std::size_t i = 0; i < spans_.size(); ++i) {
        const PatchSpan& span = spans_[i];
        for (std::uint64_t done = 0; done < span.length;) {
            if (const char* signal = signals.held())
                abandon(interruptedBy(signal) + " before " + quoted(path_) + " was changed" +
                        archive_left::unchanged());
            const MutableBytes part = MutableBytes(piece).first(static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.size(), span.length - done)));
            std::size_t got = 0;
            if (const auto error = archive_.file.readAt(span.offset + done, part, got))
                abandon("can't read " + quoted(path_) + " before writing: " + os::describe(error) +
                        archive_left::nothingWritten());
            if (got != part.size() || !bytes_->holdsExpected(i, done, part))
                abandon(quoted(path_) +
                        " changed while it was being patched: the bytes to be replaced "
                        "are no longer the original texture's data" +
                        archive_left::nothingWritten());
            if (const auto error = journal_.append(part))
                abandon("can't write the journal " + quoted(journalPath) + ": " +
                        os::describe(error) + archive_left::unchanged());
            done += part.size();
        }
    }
    if (const auto error = journal_.seal())
        abandon("can't flush the journal " + quoted(journalPath) +
                " to disk: " + os::describe(error) + archive_left::unchanged());
}

std::string ArchivePatch::rollBack() {
    if (!journal_.opened())
        return archive_left::unchanged();
    if (written_ == 0) {
        // Should the journal survive, it only writes the same bytes back again.
        (void)journal_.retire();
        return archive_left::nothingWritten();
    }
    if (const auto error = journal_.restore(archive_.file, written_)) {
        kept_ = true;
        return archive_left::journalKeepsThem(journal_.shown(), os::describe(error));
    }
    // Should the retired journal survive, it only writes the same bytes back again.
    (void)journal_.retire();
    written_ = 0;
    return archive_left::putBack();
}

// Writes the spans in the journal's order, so that what was written is always the journal's
// first bytes: those a roll-back restores.
void ArchivePatch::write(const os::StopSignals& signals) {
    ByteBuffer piece(journalPieceBytes);
    for (std::size_t i = 0; i < spans_.size(); ++i) {
        const PatchSpan& span = spans_[i];
        for (std::uint64_t done = 0;;) {
            if (const char* signal = signals.held())
                fail(interruptedBy(signal) + " while " + quoted(path_) + " was being written" +
                     rollBack());
            if (done == span.length)
                break;
            const MutableBytes part = MutableBytes(piece).first(static_cast<std::size_t>(
                std::min<std::uint64_t>(piece.size(), span.length - done)));
            try {
                bytes_->readReplacement(i, done, part);
            } catch (const std::runtime_error& error) {
                fail(error.what() + rollBack());
            }
            std::size_t put = 0;
            const auto error = archive_.file.writeAt(span.offset + done, part, put);
            done += put;
            written_ += put;
            if (error)
                fail("can't write " + quoted(path_) + ": " + os::describe(error) + rollBack());
        }
    }
}

void ArchivePatch::flush() {
    if (const auto error = archive_.file.syncData())
        fail("can't flush " + quoted(path_) + " to disk: " + os::describe(error) + rollBack());
}

// Checked once the span is on the disk: a run must not report as patched an archive that
// another program changed under it.
void ArchivePatch::requireUnchangedMeanwhile() {
    const JournalHeader& header = journal_.header();
    const std::string change = changeMeanwhile(archive_, path_, header);
    if (change.empty())
        return;
    // Putting the old bytes back would not undo what the other program did. Should the journal
    // survive, the next run finds the archive changed around its spans and keeps it unused.
    (void)journal_.retire();
    const Recovery spans = restoredBy(journal_);
    const std::string where =
        (spans.spans == 1 ? "the modded texture's data" : "the modded textures' data") +
        std::string(" was written over ") + spanText(spans.spans, spans.firstByte, spans.lastByte);
    fail(quoted(path_) + " changed while it was being patched: " + change +
         " after its bytes were checked; " + where +
         " of the file that was there when the patch began, and nothing else was written");
}

void ArchivePatch::finish() {
    // The new bytes are on the disk: from here on the patch stands, whatever arrives.
    requireUnchangedMeanwhile();
    const std::string data =
        spans_.size() == 1 ? "the modded texture's data" : "the modded textures' data";
    if (const auto error = journal_.retire())
        fail(quoted(path_) + " holds " + data + ", but its journal " + quoted(where_.shown) +
             " could not be retired (" + os::describe(error) +
             "): remove it before the next run on this archive, which would put the original "
             "bytes back");
    if (const auto error = archive_.file.close())
        fail("can't close " + quoted(path_) + ": " + os::describe(error) + "; " + data +
             " had been written and flushed before this error, so the archive most likely "
             "holds it");
}

} // namespace dyeloom
