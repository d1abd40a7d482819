// The locks between runs, taken here by two sets of locks in one process: they bind one another
// as they bind two processes, each through handles of its own.
#include "archive_locks.hpp"
#include "archive_state.hpp"
#include "support/byte_gen.hpp"
#include "support/temp_dir.hpp"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
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

// Takes locks on another thread; `done` turns true once it holds them, `waited` records what
// the locks said while they waited.
struct Contender {
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> waited;
    ArchiveLocks locks;
    std::thread thread;

    // `release`: lets go as soon as it has held them.
    Contender(std::vector<std::string> paths, Purpose purpose, bool write = false,
              bool release = false) {
        thread = std::thread([this, paths, purpose, write, release] {
            locks = ArchiveLocks(
                paths, purpose,
                [this](const std::string& path, bool waiting) {
                    const std::lock_guard<std::mutex> guard(mutex);
                    waited.emplace_back(path, waiting);
                },
                archive_left::unchanged());
            if (write)
                locks.lockToWrite(paths, archive_left::unchanged());
            done = true;
            if (release)
                locks = ArchiveLocks();
        });
    }
    ~Contender() {
        if (thread.joinable())
            thread.join();
    }
};

TEST_F(Locks, AWriterExcludesEveryOtherRunAndSaysWhoWaits) {
    for (const Purpose second : {Purpose::Check, Purpose::Patch}) {
        auto first = std::make_unique<ArchiveLocks>(std::vector{a}, Purpose::Patch, nullptr,
                                                    archive_left::unchanged());
        first->lockToWrite(std::vector{a}, archive_left::unchanged());
        Contender other({a}, second);
        std::this_thread::sleep_for(settle);
        EXPECT_FALSE(other.done) << "a run got in while another wrote";
        first.reset();
        other.thread.join();
        EXPECT_TRUE(other.done);
        const std::vector<std::pair<std::string, bool>> said = {{a, true}, {a, false}};
        EXPECT_EQ(other.waited, said);
    }
}

// Readers share an archive, and share it with the one run that may write it until that run
// writes: then it waits for them, and no new reader comes in meanwhile.
TEST_F(Locks, ReadersShareAndAWriterWaitsForThem) {
    auto reader = std::make_unique<ArchiveLocks>(std::vector{a}, Purpose::Check, nullptr,
                                                 archive_left::unchanged());
    ArchiveLocks alsoReading(std::vector{a}, Purpose::Check, nullptr, archive_left::unchanged());
    ArchiveLocks mayWrite(std::vector{a}, Purpose::Patch, nullptr, archive_left::unchanged());
    Contender otherWriter({a}, Purpose::Patch);
    std::this_thread::sleep_for(settle);
    EXPECT_FALSE(otherWriter.done) << "two runs that may write one archive at once";

    std::atomic<bool> writing{false};
    std::thread write([&] {
        mayWrite.lockToWrite(std::vector{a}, archive_left::unchanged());
        writing = true;
    });
    std::this_thread::sleep_for(settle);
    EXPECT_FALSE(writing) << "a write began while runs were reading";
    reader.reset();
    alsoReading = ArchiveLocks();
    write.join();
    EXPECT_TRUE(writing);
    EXPECT_FALSE(otherWriter.done);
    mayWrite.unlockWrite(a);
    Contender newReader({a}, Purpose::Check);
    newReader.thread.join();
    EXPECT_TRUE(newReader.done) << "readers come back once the write is over";
    mayWrite = ArchiveLocks();
    otherWriter.thread.join();
    EXPECT_TRUE(otherWriter.done);
}

// Two runs over the same archives named in opposite orders, both writing: the locks are taken
// in one order, so both finish, one after the other.
TEST_F(Locks, RunsOverTheSameArchivesInAnyOrderNeverWaitForEachOther) {
    for (int round = 0; round < 20; ++round) {
        Contender one({a, b}, Purpose::Patch, true, true);
        Contender other({b, a}, Purpose::Patch, true, true);
        Contender reader({b, a}, Purpose::Check, false, true);
        one.thread.join();
        other.thread.join();
        reader.thread.join();
        EXPECT_TRUE(one.done && other.done && reader.done);
    }
}

TEST_F(Locks, NothingToLockIsLeftForLoadingToReport) {
    ArchiveLocks locks(std::vector{(dir / "missing.asf").string(), dir.path().string()},
                       Purpose::Patch, nullptr, archive_left::unchanged());
    EXPECT_THROW(
        locks.lockToWrite(std::vector{(dir / "missing.asf").string()}, archive_left::unchanged()),
        std::runtime_error);
}

} // namespace
} // namespace dyeloom
