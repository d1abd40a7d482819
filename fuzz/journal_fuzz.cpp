// The readers of the journal and the super-journal, on any bytes at their names: a crash leaves
// them cut short anywhere, and anyone who can write the folder can put anything there. Each must
// come back with a state or an error, and what a reader accepts must hold together: spans in
// order within the archive's size, journals named.
#include "journal.hpp"
#include "scratch_file.hpp"
#include "super_journal.hpp"

#include <cstdlib>

namespace {

void checkJournal(const std::string& path) {
    using dyeloom::Journal;
    Journal journal;
    dyeloom::os::FileStatus status;
    if (Journal::open({path, path}, journal, status))
        return;
    std::string superJournal;
    dyeloom::PatchId patch{};
    (void)journal.readPairing(superJournal, patch);
    Journal::State state = Journal::State::Unknown;
    if (journal.check(state) || state != Journal::State::Valid)
        return;
    std::uint64_t end = 0;
    for (const dyeloom::JournalSpan& span : journal.header().spans) {
        if (span.length == 0 || span.offset < end)
            std::abort();
        end = span.offset + span.length;
    }
    if (journal.header().spans.empty())
        std::abort();
}

void checkSuperJournal(const std::string& path) {
    dyeloom::os::FileStatus status;
    dyeloom::SuperJournalContents contents;
    if (dyeloom::readSuperJournal(path, status, contents) || !contents.wellFormed)
        return;
    for (const std::string& journal : contents.journals)
        if (journal.size() > status.size)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path =
        dyeloom::fuzzing::writeScratch("/tmp/dyeloom-journal-fuzz-XXXXXX", data, size);
    checkJournal(path);
    checkSuperJournal(path);
    return 0;
}
