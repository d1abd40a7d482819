// The locks between runs, taken here by two sets of locks in one process: they bind one another
// as they bind two processes, each through handles of its own.
#include "archive_locks.hpp"
#include "archive_state.hpp"
#include "support/byte_gen.hpp"
#include "support/temp_dir.hpp"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace dyeloom {
namespace {

using Purpose = ArchiveLocks::Purpose;

// Long enough for a lock that does not bind to have been taken: a broken lock is taken at once.
constexpr std::chrono::milliseconds settle{150};

class Locks : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string a = (dir / "a.asf").string(), b = (dir / "b.asf").string();

    void SetUp() override {
        test::writeBytes(a, test::ByteGen(1).random(100));
        test::writeBytes(b, test::ByteGen(2).random(100));
    }
};

// Takes locks on another thread, and lets go of them at once where `release` says so; `done`
// turns true once it holds them, `waits` counts what the locks said of their waits.
struct Contender {
    std::atomic<bool> done{false};
    std::atomic<int> waits{0};
    ArchiveLocks locks;
    std::thread thread;

    Contender(std::vector<std::string> paths, Purpose purpose, bool write = false,
              bool release = false)
        : thread([this, paths, purpose, write, release] {
              locks = ArchiveLocks(
                  paths, purpose,
                  [this](const std::string&, bool waiting) { waits += waiting ? 1 : 100; },
                  archive_left::unchanged());
              if (write)
                  locks.lockToWrite(paths, archive_left::unchanged());
              done = true;
              if (release)
                  locks = ArchiveLocks();
          }) {}
    ~Contender() {
        if (thread.joinable())
            thread.join();
    }
};

ArchiveLocks lock(const std::string& path, Purpose purpose) {
    return ArchiveLocks(std::vector{path}, purpose, nullptr, archive_left::unchanged());
}

TEST_F(Locks, AWriterExcludesEveryOtherRunAndSaysWhoWaits) {
    for (const Purpose second : {Purpose::Check, Purpose::Patch}) {
        ArchiveLocks first = lock(a, Purpose::Patch);
        first.lockToWrite(std::vector{a}, archive_left::unchanged());
        Contender other({a}, second);
        std::this_thread::sleep_for(settle);
        EXPECT_FALSE(other.done) << "a run got in while another wrote";
        first = ArchiveLocks();
        other.thread.join();
        EXPECT_EQ(other.waits, 101) << "a wait begins and ends once";
    }
}

// Readers share an archive, and share it with the one run that may write it until that run
// writes: then it waits for them, and no new reader comes in meanwhile.
TEST_F(Locks, ReadersShareAndAWriterWaitsForThem) {
    ArchiveLocks reader = lock(a, Purpose::Check), alsoReading = lock(a, Purpose::Check);
    ArchiveLocks mayWrite = lock(a, Purpose::Patch);
    Contender otherWriter({a}, Purpose::Patch);
    std::atomic<bool> writing{false};
    std::thread write([&] {
        mayWrite.lockToWrite(std::vector{a}, archive_left::unchanged());
        writing = true;
    });
    std::this_thread::sleep_for(settle);
    EXPECT_FALSE(otherWriter.done) << "two runs that may write one archive at once";
    EXPECT_FALSE(writing) << "a write began while runs were reading";
    Contender lateReader({a}, Purpose::Check);
    reader = ArchiveLocks();
    alsoReading = ArchiveLocks();
    write.join();
    EXPECT_TRUE(writing);
    EXPECT_FALSE(lateReader.done) << "a reader came in while a run waited to write";
    mayWrite.unlockWrite(a);
    lateReader.thread.join();
    EXPECT_FALSE(otherWriter.done);
    mayWrite = ArchiveLocks();
    otherWriter.thread.join();
}

// Two runs over the same archives named in opposite orders, both writing, and a reader: the
// locks are taken in one order, so all of them finish.
TEST_F(Locks, RunsOverTheSameArchivesInAnyOrderNeverWaitForEachOther) {
    for (int round = 0; round < 20; ++round) {
        Contender one({a, b}, Purpose::Patch, true, true);
        Contender other({b, a}, Purpose::Patch, true, true);
        Contender reader({b, a}, Purpose::Check, false, true);
    }
}

} // namespace
} // namespace dyeloom
