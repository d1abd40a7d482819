// The write path and the loads under injected faults, concurrent runs on one archive, and paths
// that are not regular files. Faults come from a preload library that makes the system calls
// Dyeloom uses fail on demand; in every case the archive outside the span must be untouched and
// success must never be printed for a patch that did not reach the disk.
#include "support/dyeloom_fixture.hpp"

#include <string>
#include <sys/stat.h>

namespace dyeloom {
namespace {

using namespace test;

// What the archive must hold after the run.
enum class After { Unchanged, Patched, FirstHalfPatched };

struct FaultCase {
    const char* fault;
    const char* faultPath;
    std::string out;
    int status;
    After after;
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault; }
};

class InjectedFault : public DyeloomRun, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(InjectedFault, LeavesTheArchiveAsReported) {
    const FaultCase& fault = GetParam();
    const ByteBuffer archive = concat({zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);

    ProcessOptions options;
    options.environment = {{"LD_PRELOAD", DYELOOM_FAULTS_LIB},
                           {"DYELOOM_FAULT", fault.fault},
                           {"DYELOOM_FAULT_PATH", fault.faultPath},
                           // The sanitizers' runtime wants to be loaded first; here it is not.
                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    expectResult(run({"pack.asf", "old.dds", "new.dds", "16"}, options), fault.out, fault.status);

    ByteBuffer expected = archive;
    if (fault.after == After::Patched)
        expected = patched(archive, modded, zeros.size(), original.size());
    if (fault.after == After::FirstHalfPatched) {
        const std::size_t half = (original.size() - headerSize) / 2;
        expected = patched(archive, modded, zeros.size(), headerSize + half);
    }
    EXPECT_EQ(readBytes(dir / "pack.asf"), expected);
}

const std::string unchangedTail = "; the archive is unchanged\n";
const std::string restoredTail =
    "; the original bytes were put back and the archive is unchanged\n";

INSTANTIATE_TEST_SUITE_P(
    WritePath, InjectedFault,
    ::testing::Values(
        FaultCase{"open-for-writing", "",
                  "can't open 'pack.asf' for writing: Read-only file system" + unchangedTail, 1,
                  After::Unchanged},
        FaultCase{"lock", "", "can't lock 'pack.asf': No locks available" + unchangedTail, 1,
                  After::Unchanged},
        FaultCase{"first-write", "",
                  "can't write 'pack.asf': No space left on device; nothing was written\n", 1,
                  After::Unchanged},
        FaultCase{"zero-write", "",
                  "can't write 'pack.asf': Input/output error; nothing was written\n", 1,
                  After::Unchanged},
        FaultCase{"half-write", "", "can't write 'pack.asf': Input/output error" + restoredTail, 1,
                  After::Unchanged},
        FaultCase{"half-write-no-restore", "",
                  "can't write 'pack.asf': Input/output error; putting the original bytes back "
                  "failed too (Input/output error): bytes 80 to 363 of the archive may be "
                  "damaged\n",
                  1, After::FirstHalfPatched},
        FaultCase{"sync", "", "can't flush 'pack.asf' to disk: Input/output error" + restoredTail,
                  1, After::Unchanged},
        FaultCase{"close", "",
                  "can't close 'pack.asf': Input/output error; the modded texture's data had "
                  "been written and flushed before this error, so the archive most likely "
                  "holds it\n",
                  1, After::Patched},
        // Legal partial writes are carried on to the end.
        FaultCase{"short-writes", "", replacedLine, 0, After::Patched}),
    [](const auto& info) {
        std::string name = info.param.fault;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

INSTANTIATE_TEST_SUITE_P(
    Loads, InjectedFault,
    ::testing::Values(
        FaultCase{"read", "new.dds", "can't read 'new.dds': Input/output error\n", 1,
                  After::Unchanged},
        FaultCase{"read-short", "old.dds",
                  "can't read 'old.dds': the file ended after 150 of its 300 bytes\n", 1,
                  After::Unchanged},
        FaultCase{"read", "pack.asf", "can't read 'pack.asf': Input/output error\n", 1,
                  After::Unchanged},
        // Where nothing can be mapped, every file is read instead, with the same result.
        FaultCase{"no-map", "", replacedLine, 0, After::Patched}),
    [](const auto& info) {
        std::string name = std::string(info.param.fault) + "_" + info.param.faultPath;
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });

// Two runs on one archive at once: the lock and the check before writing let exactly one of
// them patch; the other finds the span changed, or finds nothing.
TEST_F(DyeloomRun, ConcurrentRunsPatchOnce) {
    const ByteBuffer big = ByteGen(9).random(4 << 20);
    const ByteBuffer archive = concat({big, original, zeros});
    const ByteBuffer once = patched(archive, modded, big.size(), original.size());
    const std::string refused = "'pack.asf' changed while it was being patched: the bytes to be "
                                "replaced are no longer the original texture's data; nothing was "
                                "written\n";
    for (int round = 0; round < 10; ++round) {
        writeBytes(dir / "pack.asf", archive);
        const std::vector<std::string> args = {DYELOOM_EXE, "pack.asf", "old.dds", "new.dds", "16"};
        Process first(args, dir.path());
        Process second(args, dir.path());
        const ProcessResult results[] = {first.wait(), second.wait()};
        int replaced = 0;
        for (const auto& result : results) {
            if (result.out == replacedLine) {
                ++replaced;
                EXPECT_EQ(result.status, 0);
            } else {
                EXPECT_TRUE(result.out == notFoundLine || result.out == refused) << result.out;
            }
        }
        EXPECT_EQ(replaced, 1) << "round " << round;
        ASSERT_EQ(readBytes(dir / "pack.asf"), once) << "round " << round;
    }
}

// A FIFO would block a plain open for reading until a writer came; devices and folders have no
// size to load. Each must end through the error handler, quickly.
TEST_F(DyeloomRun, SpecialFilesAreRefusedWithoutHanging) {
    const ByteBuffer archive = concat({zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder");
    const std::pair<std::string, std::string> specials[] = {
        {"fifo", "file_size: Operation not supported: \"fifo\"\n"},
        {"/dev/null", "file_size: Operation not supported: \"/dev/null\"\n"},
        {"folder", "file_size: Is a directory: \"folder\"\n"}};
    for (const auto& [path, message] : specials) {
        for (int slot = 0; slot < 3; ++slot) {
            std::vector<std::string> args = {"pack.asf", "old.dds", "new.dds", "16"};
            args[static_cast<std::size_t>(slot)] = path;
            ProcessOptions options;
            options.timeoutSeconds = 10;
            expectResult(run(args, options), message, 1);
        }
    }
    EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
}

} // namespace
} // namespace dyeloom
