// The locks between runs, after SQLite's: three bytes of each archive past any data
// (os::lockOnlyBytes), locked through a handle of the run's own that stays open for the whole run.
//
//   PENDING   held exclusive by a run about to write: no new reader comes in meanwhile
//   RESERVED  held exclusive by the one run that may write the archive, from before its search
//             until it ends
//   SHARED    held shared by every run that reads the archive; exclusive by the run writing it
//
// A reader takes PENDING shared (waiting while a writer holds it), SHARED shared, and lets go of
// PENDING. A run that patches takes RESERVED first, then reads as a reader does, and keeps both
// from its search until its end: no other run can write the archive between what the search saw
// and the write, so nothing has to be searched again. To write, it takes PENDING exclusive,
// lets go of its own SHARED and takes SHARED exclusive once the readers are gone (Windows cannot
// turn a shared lock into an exclusive one in place); PENDING keeps new readers out meanwhile,
// and RESERVED other writers. After a write that is not its last (recovery before the search),
// it takes SHARED back and lets go of PENDING.
//
// No two runs ever wait for each other: every run locks its archives one after another in the
// order of their identities (never of their names), and holds RESERVED on every archive it may
// write before it waits for readers to leave any of them, so a reader is the only kind of run a
// writer waits for, and a reader waits only for locks on archives later in the order than any
// it holds. Without the handle an exclusive lock needs (a read-only archive), a run only reads;
// its write then fails as it would have anyway.
#include "archive_locks.hpp"

#include "text.hpp"

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace dyeloom {
namespace {

constexpr std::uint64_t pendingByte = os::lockOnlyBytes;
constexpr std::uint64_t reservedByte = os::lockOnlyBytes + 1;
constexpr std::uint64_t sharedByte = os::lockOnlyBytes + 2;

// How often a refused lock is tried again: often enough that a run goes on as soon as the other
// lets go, seldom enough not to keep the machine busy.
constexpr std::chrono::milliseconds retryInterval{20};

bool before(const os::FileIdentity& a, const os::FileIdentity& b) {
    return std::tie(a.device, a.file) < std::tie(b.device, b.file);
}

[[noreturn]] void failLock(const std::string& path, const std::error_code& error,
                           const std::string& tail) {
    throw std::runtime_error("can't lock " + quoted(path) + ": " + os::describe(error) + tail);
}

} // namespace

ArchiveLocks::ArchiveLocks(std::span<const std::string> paths, Purpose purpose,
                           const Waiting& waiting, const std::string& tail)
    : waiting_(waiting) {
    for (const std::string& path : paths) {
        Held held{path, {}, {}, {}, Level::Shared};
        // A system short of files or memory says nothing of the archive: the run cannot go on
        // unlocked. Any other failure is the archive's own, which loading it reports.
        const auto check = [&](const std::error_code& error) {
            if (os::isResourceShortage(error))
                failLock(path, error, tail);
            return error;
        };
        if (purpose == Purpose::Patch)
            held.cannotWrite = check(os::File::open(path, os::File::Access::Update, held.file));
        if ((purpose == Purpose::Check || held.cannotWrite) &&
            check(os::File::open(path, os::File::Access::Read, held.file)))
            continue;
        os::FileStatus status;
        if (check(held.file.status(status)) || status.kind != os::FileKind::Regular)
            continue;
        held.identity = status.identity;
        const auto same = [&](const Held& other) { return other.identity == held.identity; };
        if (std::none_of(held_.begin(), held_.end(), same))
            held_.push_back(std::move(held));
    }
    std::sort(held_.begin(), held_.end(),
              [](const Held& a, const Held& b) { return before(a.identity, b.identity); });
    for (Held& held : held_)
        acquire(held, purpose, tail);
}

void ArchiveLocks::acquire(Held& held, Purpose purpose, const std::string& tail) {
    if (purpose == Purpose::Patch && !held.cannotWrite) {
        waitFor(held, reservedByte, os::File::LockMode::Exclusive, tail);
        held.level = Level::Reserved;
    }
    waitFor(held, pendingByte, os::File::LockMode::Shared, tail);
    waitFor(held, sharedByte, os::File::LockMode::Shared, tail);
    if (const auto error = held.file.unlockByte(pendingByte))
        failLock(held.path, error, tail);
}

void ArchiveLocks::waitFor(const Held& held, std::uint64_t byte, os::File::LockMode mode,
                           const std::string& tail) {
    bool waited = false;
    for (;;) {
        const std::error_code error = held.file.tryLockByte(byte, mode);
        if (!error)
            break;
        if (error != std::errc::resource_unavailable_try_again)
            failLock(held.path, error, tail);
        if (!waited && waiting_)
            waiting_(held.path, true);
        waited = true;
        std::this_thread::sleep_for(retryInterval);
    }
    if (waited && waiting_)
        waiting_(held.path, false);
}

ArchiveLocks::Held* ArchiveLocks::find(const std::string& path) {
    const auto at = std::find_if(held_.begin(), held_.end(),
                                 [&](const Held& held) { return held.path == path; });
    return at == held_.end() ? nullptr : &*at;
}

void ArchiveLocks::lockToWrite(std::span<const std::string> paths, const std::string& tail) {
    for (const std::string& path : paths) {
        const Held* held = find(path);
        if (held != nullptr && held->cannotWrite)
            throw std::runtime_error("can't open " + quoted(path) +
                                     " for writing: " + os::describe(held->cannotWrite) + tail);
        if (held == nullptr)
            throw std::runtime_error("can't lock " + quoted(path) +
                                     ": it was not there to lock when the run began" + tail);
    }
    for (Held& held : held_) {
        if (held.level != Level::Reserved ||
            std::find(paths.begin(), paths.end(), held.path) == paths.end())
            continue;
        waitFor(held, pendingByte, os::File::LockMode::Exclusive, tail);
        if (const auto error = held.file.unlockByte(sharedByte))
            failLock(held.path, error, tail);
        waitFor(held, sharedByte, os::File::LockMode::Exclusive, tail);
        held.level = Level::Exclusive;
    }
}

void ArchiveLocks::unlockWrite(const std::string& path) {
    Held* held = find(path);
    if (held == nullptr || held->level != Level::Exclusive)
        return;
    // Nobody else can lock SHARED while this run holds PENDING: the shared lock comes at once,
    // and a failure (the system out of locks) leaves the exclusive one, which only keeps other
    // runs waiting a little longer.
    if (held->file.unlockByte(sharedByte) ||
        held->file.tryLockByte(sharedByte, os::File::LockMode::Shared)) {
        (void)held->file.tryLockByte(sharedByte, os::File::LockMode::Exclusive);
        return;
    }
    (void)held->file.unlockByte(pendingByte);
    held->level = Level::Reserved;
}

} // namespace dyeloom
