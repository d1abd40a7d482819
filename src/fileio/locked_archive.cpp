#include "locked_archive.hpp"

#include "text.hpp"

namespace dyeloom {
namespace {

// How long a run waits for another program's lock on the archive before giving up.
constexpr std::chrono::seconds lockPatience{30};

} // namespace

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

// From the first span's first byte to the last span's last.
Recovery restoredBy(const Journal& journal) {
    const auto& spans = journal.header().spans;
    return {Recovery::Outcome::Restored, journal.shown(), spans.front().offset,
            spans.back().offset + spans.back().length - 1, spans.size()};
}

} // namespace dyeloom
