// The write path and the loads under injected faults, crashes, lost power and signals,
// concurrent runs on one archive, and paths that are not regular files. Faults come from a
// preload library that makes the system calls Dyeloom uses fail on demand. In every case the
// archive must be as the message says, and a plain rerun must end with it wholly patched and
// nothing left beside it.
#include "support/dyeloom_fixture.hpp"

#include <csignal>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <tuple>

namespace dyeloom {
namespace {

using namespace test;

// What the archive must hold after the faulted run.
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
    writeBytes(dir / "pack.asf", archive);
    expectResult(patch("16", withFaults({{"DYELOOM_FAULT", fault.fault},
                                         {"DYELOOM_FAULT_PATH", fault.faultPath}})),
                 fault.out, fault.status);

    const std::size_t half = (original.size() - headerSize) / 2;
    const ByteBuffer expected[] = {archive, archivePatched,
                                   patched(archive, modded, zeros.size(), headerSize + half)};
    EXPECT_EQ(readBytes(dir / "pack.asf"), expected[static_cast<int>(fault.after)]);
    // Only a failed put-back leaves the journal, for the next run.
    EXPECT_EQ(journalLeft(), fault.after == After::FirstHalfPatched);

    const std::string restored =
        "restored bytes 80 to 363 of 'pack.asf' from the journal of an interrupted patch\n";
    expectResult(patch(),
                 fault.after == After::Patched            ? notFoundLine
                 : fault.after == After::FirstHalfPatched ? restored + replacedLine
                                                          : replacedLine,
                 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archivePatched);
    EXPECT_FALSE(journalLeft());
}

const std::string unchangedTail = "; the archive is unchanged\n";
const std::string restoredTail =
    "; the original bytes were put back and the archive is unchanged\n";
const std::string ioError = "can't write 'pack.asf': Input/output error";
const std::string keptJournal = "; putting the original bytes back failed too (Input/output "
                                "error): the journal 'pack.asf.dyeloom-journal' keeps them, and "
                                "the next run on this archive will put them back\n";
const std::string closeFailed = "can't close 'pack.asf': Input/output error; the modded texture's "
                                "data had been written and flushed before this error, so the "
                                "archive most likely holds it\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, InjectedFault, ::testing::Values(
    FaultCase{"open-for-writing", "", "can't open 'pack.asf' for writing: Read-only file system" +
              unchangedTail, 1, After::Unchanged},
    FaultCase{"lock", "", "can't lock 'pack.asf': No locks available" + unchangedTail, 1,
              After::Unchanged},
    FaultCase{"journal-write", "", "can't write the journal 'pack.asf.dyeloom-journal': No space "
              "left on device" + unchangedTail, 1, After::Unchanged},
    FaultCase{"first-write", "", "can't write 'pack.asf': No space left on device; nothing was "
              "written\n", 1, After::Unchanged},
    FaultCase{"zero-write", "", ioError + "; nothing was written\n", 1, After::Unchanged},
    FaultCase{"half-write", "", ioError + restoredTail, 1, After::Unchanged},
    FaultCase{"half-write-no-restore", "", ioError + keptJournal, 1, After::FirstHalfPatched},
    FaultCase{"sync", "", "can't flush 'pack.asf' to disk: Input/output error" + restoredTail, 1,
              After::Unchanged},
    FaultCase{"close", "", closeFailed, 1, After::Patched},
    // Legal partial writes are carried on to the end.
    FaultCase{"short-writes", "", replacedLine, 0, After::Patched},
    // The loads.
    FaultCase{"read", "new.dds", "can't read 'new.dds': Input/output error\n", 1, After::Unchanged},
    FaultCase{"read-short", "old.dds", "can't read 'old.dds': the file ended after 150 of its 300 "
              "bytes\n", 1, After::Unchanged},
    FaultCase{"read", "pack.asf", "can't read 'pack.asf': Input/output error\n", 1,
              After::Unchanged},
    // Where nothing can be mapped, every file is read instead, with the same result.
    FaultCase{"no-map", "", replacedLine, 0, After::Patched}),
    [](const auto& info) {
        std::string name = std::string(info.param.fault) + "_" + info.param.faultPath;
        std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });
// clang-format on

// When the archive is the original texture itself, the bytes put back after a failed write must
// be the file's old bytes, not what a view of the file shows after the write.
TEST_F(DyeloomRun, PutsBackTheOldBytesWhenTheArchiveIsTheOriginal) {
    expectResult(
        run({"old.dds", "old.dds", "new.dds", "16"}, withFaults({{"DYELOOM_FAULT", "half-write"}})),
        "can't write 'old.dds': Input/output error" + restoredTail, 1);
    EXPECT_EQ(readBytes(dir / "old.dds"), original);
}

// A file-size limit below the span's end stops the write part way; it must not end the run.
TEST_F(DyeloomRun, AFileSizeLimitIsAWriteErrorLikeAnyOther) {
    const ByteBuffer far = concat({ByteBuffer(8192, 0), original, zeros});
    writeBytes(dir / "pack.asf", far);
    ProcessOptions options;
    options.fileSizeLimit = 8192 + headerSize + 100;
    expectResult(patch("16", options), "can't write 'pack.asf': File too large" + restoredTail, 1);
    EXPECT_EQ(readBytes(dir / "pack.asf"), far);
    EXPECT_FALSE(journalLeft());
}

// SIGINT and SIGTERM raised in the middle of a write are held until the archive is whole again:
// here, with the written part put back. Then they end the run as they would have.
TEST_F(DyeloomRun, StopSignalsWaitUntilTheArchiveIsWhole) {
    for (const auto& [name, number] : {std::pair{"INT", SIGINT}, std::pair{"TERM", SIGTERM}}) {
        writeBytes(dir / "pack.asf", archive);
        expectResult(patch("16", withFaults({{"DYELOOM_RAISE", std::string(name) + ":1"}})),
                     "interrupted (SIG" + std::string(name) +
                         ") while 'pack.asf' was being written" + restoredTail,
                     128 + number);
        EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
        EXPECT_FALSE(journalLeft());
    }
}

// Another program truncates a texture while the search reads it: the part that is gone must end
// the run with a message, not with SIGBUS, and nothing may be written. (The archive's case is
// the hostile mod's.)
TEST_F(DyeloomRun, AFileTruncatedDuringTheSearchEndsTheRunCleanly) {
    const ByteBuffer large = concat({ByteBuffer(64 << 10, 7), original, zeros});
    writeBytes(dir / "pack.asf", large);
    // A texture large enough to lose whole pages.
    writeBytes(dir / "old.dds", concat({original, ByteBuffer(64 << 10, 9)}));
    writeBytes(dir / "new.dds", concat({modded, ByteBuffer(64 << 10, 8)}));
    expectResult(patch("16", withFaults({{"DYELOOM_FAULT", "truncate-after-map"},
                                         {"DYELOOM_FAULT_PATH", "old.dds"}})),
                 "can't read 'old.dds': part of it could not be read while it was in use "
                 "(another program truncated it, or a read failed)" +
                     unchangedTail,
                 1);
    EXPECT_EQ(readBytes(dir / "pack.asf"), large);
    EXPECT_FALSE(journalLeft());
}

// A mod of three textures, one in a subfolder and one with a name outside ASCII, patched as one:
// whatever step a run is stopped at, the rerun installs the whole mod or finds it installed. One
// texture is large, so that the journal and its span are copied in several pieces.
class CrashPoints : public DyeloomRun {
protected:
    const ByteBuffer bigOriginal = ddsLike((5u << 20) / 2, 3),
                     bigModded = ddsLike((5u << 20) / 2, 4);
    const ByteBuffer small = ddsLike(300, 5), smallModded = ddsLike(300, 6);
    const ByteBuffer second = ddsLike(1 << 20, 7), secondModded = ddsLike(1 << 20, 8);
    ByteBuffer bigArchive, bigPatched;
    const std::vector<std::string> command = {"pack.asf", "orig", "mod", "16"};
    // What the command prints when it patches, when the mod already stands, and when it first
    // restores an interrupted patch.
    std::string patchedOut, standsOut, restored;

    void SetUp() override {
        for (const auto& [name, old, now] :
             {std::tuple("a.dds", &bigOriginal, &bigModded),
              std::tuple("sub/b.dds", &second, &secondModded),
              std::tuple("sub/\xE3\x83\x86.dds", &small, &smallModded)}) {
            std::filesystem::create_directories(dir / "orig" / "sub");
            std::filesystem::create_directories(dir / "mod" / "sub");
            writeBytes(dir / "orig" / name, *old);
            writeBytes(dir / "mod" / name, *now);
        }
        writeBytes(dir / "new.dds", bigModded);
        bigArchive = concat({zeros, bigOriginal, zeros, second, zeros, small, zeros});
        const std::size_t secondAt = 2 * zeros.size() + bigOriginal.size();
        const std::size_t smallAt = secondAt + zeros.size() + second.size();
        bigPatched =
            patched(patched(patched(bigArchive, bigModded, zeros.size(), bigOriginal.size()),
                            secondModded, secondAt, second.size()),
                    smallModded, smallAt, small.size());
        for (const std::string line : {"a.dds\n", "sub/b.dds\n", "sub/\xE3\x83\x86.dds\n"}) {
            patchedOut += "replaced: " + line;
            standsOut += "already replaced: " + line;
        }
        patchedOut += "3 textures: 3 replaced, 0 already replaced, 0 not found, 0 skipped, 0 in "
                      "conflict; 'pack.asf' is patched\n";
        standsOut += "3 textures: 0 replaced, 3 already replaced, 0 not found, 0 skipped, 0 in "
                     "conflict; 'pack.asf' is unchanged\n";
        restored = "restored 3 spans between bytes 80 and " +
                   std::to_string(smallAt + small.size() - 1) +
                   " of 'pack.asf' from the journal of an interrupted patch\n";
    }

    // The steps of the write protocol in a run that is not interrupted: "KIND FILE" each.
    std::vector<std::string> protocolSteps() {
        writeBytes(dir / "pack.asf", bigArchive);
        const std::string trace = (dir / "trace").string();
        expectResult(run(command, withFaults({{"DYELOOM_TRACE", trace}})), patchedOut, 0);
        std::ifstream in(trace);
        std::vector<std::string> steps;
        for (std::string line; std::getline(in, line);)
            steps.push_back(line);
        std::filesystem::remove(trace);
        return steps;
    }

    const std::string removed = "removed 'pack.asf.dyeloom-journal', the journal of a patch "
                                "interrupted before it changed 'pack.asf'\n";

    // Kills a run at the `count`-th step of its kind (losing power too when `seed` is given),
    // then checks the archive and reruns the same command, which must print one of `reruns`.
    void crashAndRerun(const std::string& kind, int count, bool beforeArchiveChanged,
                       const char* seed, const std::vector<std::string>& reruns) {
        SCOPED_TRACE(kind + " " + std::to_string(count) +
                     (seed ? std::string(" seed ") + seed : ""));
        writeBytes(dir / "pack.asf", bigArchive);
        std::vector<std::pair<std::string, std::string>> settings = {
            {"DYELOOM_CRASH", kind + ":" + std::to_string(count)}};
        if (seed != nullptr)
            settings.emplace_back("DYELOOM_POWER_LOSS", seed);
        const ProcessResult crashed = run(command, withFaults(settings));
        ASSERT_EQ(crashed.status, 128 + SIGKILL) << crashed.out;
        if (beforeArchiveChanged) {
            ASSERT_EQ(readBytes(dir / "pack.asf"), bigArchive);
        }

        const ProcessResult rerun = run(command);
        EXPECT_EQ(rerun.status, 0) << rerun.out;
        EXPECT_NE(std::find(reruns.begin(), reruns.end(), rerun.out), reruns.end()) << rerun.out;
        ASSERT_EQ(readBytes(dir / "pack.asf"), bigPatched) << rerun.out;
        EXPECT_FALSE(journalLeft());
    }

    // What a rerun may print after a crash at each step: before the journal is flushed it can
    // only be cut short (or, with lost power, gone); from then until it is marked done it
    // restores; once the mark is flushed the patch stands. Lost power may undo what was not
    // flushed yet, so it widens each phase to what its unflushed steps allow.
    void crashAtEveryStep(const char* seed) {
        const std::vector<std::string> steps = protocolSteps();
        const auto sealAt = std::find(steps.begin(), steps.end(), "sync journal") - steps.begin();
        const auto markAt =
            std::find(steps.rbegin(), steps.rend(), "write journal").base() - steps.begin() - 1;
        std::map<std::string, int> seen;
        bool archiveChanged = false;
        for (std::ptrdiff_t at = 0; at < static_cast<std::ptrdiff_t>(steps.size()); ++at) {
            const std::string& step = steps[static_cast<std::size_t>(at)];
            const std::string kind = step.substr(0, step.find(' '));
            archiveChanged = archiveChanged || step == "write archive";
            const std::string restoredAndReplaced = restored + patchedOut;
            std::vector<std::string> reruns;
            if (at < sealAt)
                reruns = {removed + patchedOut};
            else if (at <= markAt)
                reruns = {restoredAndReplaced};
            else
                reruns = {standsOut};
            if (seed != nullptr && at < sealAt)
                reruns.push_back(patchedOut); // the journal's creation undone
            if (seed != nullptr && at == sealAt)
                reruns = {removed + patchedOut, patchedOut, restoredAndReplaced};
            if (seed != nullptr && at == sealAt + 1)
                reruns = {patchedOut, restoredAndReplaced};
            if (seed != nullptr && at == markAt + 1)
                reruns = {restoredAndReplaced, standsOut}; // the done mark lost, or kept
            crashAndRerun(kind, ++seen[kind], !archiveChanged, seed, reruns);
        }
    }
};

TEST_F(CrashPoints, ARerunCompletesAModKilledAtAnyStep) {
    const std::vector<std::string> steps = protocolSteps();
    ASSERT_GE(std::count(steps.begin(), steps.end(), "write archive"), 3) << "several pieces";
    crashAtEveryStep(nullptr);
}

TEST_F(CrashPoints, ARerunCompletesAModCutShortByLostPower) {
    for (const char* seed : {"1", "2", "3", "4", "5", "6"})
        crashAtEveryStep(seed);
}

// Power lost as the journal of a completed patch is removed can bring the journal back. It was
// marked done first, so a later run, whatever it patches, must not put the old bytes back.
TEST_F(CrashPoints, AJournalBroughtBackAfterItsPatchCompletedRestoresNothing) {
    writeBytes(dir / "other.dds", ddsLike(1000, 5));
    int broughtBack = 0;
    for (const char* seed : {"1", "2", "3", "4", "5", "6", "7", "8"}) {
        writeBytes(dir / "pack.asf", bigArchive);
        const ProcessResult crashed =
            run(command, withFaults({{"DYELOOM_CRASH", "remove:1"}, {"DYELOOM_POWER_LOSS", seed}}));
        ASSERT_EQ(crashed.status, 128 + SIGKILL) << crashed.out;
        broughtBack += journalLeft() ? 1 : 0;
        expectResult(run({"pack.asf", "other.dds", "new.dds", "16"}), notFoundLine, 0);
        EXPECT_EQ(readBytes(dir / "pack.asf"), bigPatched) << "seed " << seed;
        EXPECT_FALSE(journalLeft());
    }
    EXPECT_GT(broughtBack, 0) << "no seed brought the journal back";
}

// Another program truncates or lengthens the archive, or puts another file in its place, after its
// span was checked and before it is written: the run must not call that a patched archive.
TEST_F(DyeloomRun, AnArchiveChangedByAnotherProgramDuringTheWriteIsReported) {
    const std::string written = " after its bytes were checked; the modded texture's data was "
                                "written over bytes 80 to 363 of the file that was there when "
                                "the patch began, and nothing else was written\n";
    const std::tuple<const char*, std::string, ByteBuffer> cases[] = {
        {"truncate-before-write", "another program changed its size from 428 to 364 bytes",
         ByteBuffer(archivePatched.begin(), archivePatched.begin() + 364)},
        {"grow-before-write", "another program changed its size from 428 to 492 bytes",
         concat({archivePatched, ByteBuffer(64, 0)})},
        {"replace-before-write", "another program put another file in its place", archive}};
    for (const auto& [fault, change, after] : cases) {
        writeBytes(dir / "pack.asf", archive);
        expectResult(patch("16", withFaults({{"DYELOOM_FAULT", fault}})),
                     "'pack.asf' changed while it was being patched: " + change + written, 1);
        EXPECT_EQ(readBytes(dir / "pack.asf"), after) << fault;
        EXPECT_FALSE(journalLeft());
    }
}

// A texture larger than the archive cannot be in it: the run says so without reading either
// texture (a read of them fails here).
TEST_F(DyeloomRun, ATextureLargerThanTheArchiveIsNotRead) {
    writeBytes(dir / "pack.asf", ByteBuffer(original.begin(), original.end() - 1));
    for (const char* texture : {"old.dds", "new.dds"})
        expectResult(
            patch("16", withFaults({{"DYELOOM_FAULT", "read"}, {"DYELOOM_FAULT_PATH", texture}})),
            notFoundLine, 0);
}

// An archive reached through a symbolic link has its journal beside the real file, so that a run
// through the real path (or any other link) finds it after an interruption. A name too long for
// the journal's suffix gets a journal name the rerun derives again.
TEST_F(DyeloomRun, ARunThroughAnyPathFindsTheJournal) {
    std::filesystem::create_directory(dir / "real");
    std::filesystem::create_directory(dir / "links");
    const std::string longName = std::string(250, 'a') + ".asf";
    const std::pair<std::string, std::string> paths[] = {{"links/pack.asf", "real/pack.asf"},
                                                         {"real/" + longName, "real/" + longName}};
    for (const auto& [interrupted, rerun] : paths) {
        writeBytes(dir / rerun, archive);
        if (interrupted != rerun)
            std::filesystem::create_symlink("../" + rerun, dir / interrupted);
        const ProcessResult torn = run({interrupted, "old.dds", "new.dds", "16"},
                                       withFaults({{"DYELOOM_FAULT", "half-write-no-restore"}}));
        EXPECT_EQ(torn.status, 1);
        EXPECT_NE(torn.out.find("the next run on this archive will put them back"),
                  std::string::npos)
            << torn.out;
        expectResult(run({rerun, "old.dds", "new.dds", "16"}),
                     "restored bytes 80 to 363 of '" + rerun +
                         "' from the journal of an interrupted patch\n" + replacedLine,
                     0);
        EXPECT_EQ(readBytes(dir / rerun), archivePatched);
        for (const char* folder : {"real", "links"})
            for (const auto& entry : std::filesystem::directory_iterator(dir / folder))
                EXPECT_EQ(entry.path().string().find("journal"), std::string::npos);
    }
}

// A FIFO would block a plain open for reading until a writer came; devices and folders have no
// size to load. Each must end through the error handler, quickly.
TEST_F(DyeloomRun, SpecialFilesAreRefusedWithoutHanging) {
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
