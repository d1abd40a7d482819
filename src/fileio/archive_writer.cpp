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

#include "archive_patch.hpp"

#include <algorithm>
#include <vector>

namespace dyeloom {
namespace {

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
    ArchivePatch patch(path, spans, bytes);
    signals.hold();
    const Recovery recovery = patch.lock(signals);
    patch.journal(signals);
    patch.write(signals);
    patch.flush();
    patch.finish();
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
