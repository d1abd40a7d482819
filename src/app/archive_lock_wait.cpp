#include "archive_lock_wait.hpp"

#include "archive_state.hpp"
#include "os_console.hpp"
#include "output.hpp"

#include <cstdio>

namespace dyeloom {
namespace {

// The line shown while a lock waits, rewritten in place and erased once the wait is over: a
// terminal only, so that what a run prints into a file or a pipe is the same whether it waited
// or not.
void showWaiting(const std::string& path, bool waiting) {
    const std::string line = "waiting for another run to finish with " + quoted(path);
    if (waiting) {
        // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on "\r" + a string.
        std::string rewrite(1, '\r');
        rewrite += line;
        print(rewrite);
    } else {
        std::string blank(line.size() + 2, ' ');
        blank.front() = blank.back() = '\r';
        print(blank);
    }
    std::fflush(stdout);
}

} // namespace

ArchiveLocks lockArchives(std::span<const std::string> paths, ArchiveLocks::Purpose purpose) {
    ArchiveLocks::Waiting waiting;
    if (os::outputIsTerminal())
        waiting = showWaiting;
    return ArchiveLocks(paths, purpose, waiting, archive_left::unchanged());
}

Recovery recoverUnderLock(ArchiveLocks& locks, const std::string& path, os::StopSignals& signals) {
    const Recovery recovery = recoverArchive(path, signals, [&](const std::string& tail) {
        locks.lockToWrite(std::span(&path, 1), tail);
    });
    locks.unlockWrite(path);
    return recovery;
}

} // namespace dyeloom
