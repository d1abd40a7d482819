// A patch of several archives killed at every step of its protocol, with and without lost power,
// and with the game's folder moved or copied elsewhere after the kill: each archive recovered
// alone afterwards, in either order, must leave all of them patched or none and nothing beside
// them, and a rerun of the command must complete the install.
#include "support/dyeloom_fixture.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

namespace dyeloom {
namespace {

using namespace test;
namespace fs = std::filesystem;

class GameCrashPoints : public DyeloomRun {
protected:
    // Each archive holds one texture; the first archive's is written in two pieces.
    static constexpr std::size_t archives = 3;
    std::vector<ByteBuffer> before, installed;
    std::string folder = "data"; // where the game is now
    bool byPackage = false;      // the mod is installed from mod.pkg
    std::vector<std::string> command() const {
        if (byPackage)
            return {"--install", folder + "/*.asf", "mod.pkg"};
        return {folder + "/*.asf", "orig", "mod", "16"};
    }
    void removeUndoPackages() const {
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.path().filename().string().rfind("mod.undo-", 0) == 0)
                fs::remove(entry.path());
    }
    // An install that went through has its undo package, whole: it puts every archive back.
    void expectUndoPackageRestores() {
        ASSERT_TRUE(fs::exists(dir / "mod.undo-1.pkg"));
        const ProcessResult undo = run({"--install", folder + "/*.asf", "mod.undo-1.pkg"});
        EXPECT_EQ(undo.status, 0) << undo.out;
        EXPECT_EQ(states(), std::vector<int>(archives, 0));
        removeUndoPackages();
    }
    // Where the game goes after the kill, before the next run: nowhere, or a folder beside it.
    enum class Relocation { None, Move, Copy };

    void SetUp() override {
        for (const char* folder : {"data", "orig", "mod"})
            fs::create_directories(dir / folder);
        writeBytes(dir / "none.dds", ddsLike(300, 99));
        for (std::size_t i = 0; i < archives; ++i) {
            const auto seed = static_cast<std::uint8_t>(20 + 2 * i);
            const std::size_t textureBytes = i == 0 ? journalPieceBytes + 1000 : 300;
            const ByteBuffer original = ddsLike(textureBytes, seed);
            const ByteBuffer modded = ddsLike(textureBytes, seed + 1);
            writeBytes(dir / "orig" / ("t" + std::to_string(i) + ".dds"), original);
            writeBytes(dir / "mod" / ("t" + std::to_string(i) + ".dds"), modded);
            before.push_back(concat({zeros, original, zeros}));
            installed.push_back(patched(before.back(), modded, zeros.size(), textureBytes));
        }
    }
    std::string archiveName(std::size_t i) const {
        return folder + "/data" + std::to_string(i) + ".asf";
    }
    fs::path archivePath(std::size_t i) const { return dir / archiveName(i); }
    void writeArchives() {
        folder = "data";
        fs::remove_all(dir / "moved");
        fs::create_directories(dir / folder);
        for (std::size_t i = 0; i < archives; ++i)
            writeBytes(archivePath(i), before[i]);
    }
    void relocate(Relocation how) {
        if (how == Relocation::Move)
            fs::rename(dir / folder, dir / "moved");
        if (how == Relocation::Copy)
            fs::copy(dir / folder, dir / "moved", fs::copy_options::recursive);
        if (how != Relocation::None)
            folder = "moved";
    }
    std::size_t filesBesideArchives() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir / folder), {})) -
               archives;
    }
    // Which state every archive is in: 0 as before, 1 installed, -1 neither.
    std::vector<int> states() const {
        std::vector<int> seen;
        for (std::size_t i = 0; i < archives; ++i) {
            const ByteBuffer now = readBytes(archivePath(i));
            seen.push_back(now == before[i] ? 0 : now == installed[i] ? 1 : -1);
        }
        return seen;
    }

    std::vector<std::string> protocolSteps(const std::vector<std::string>& args) {
        const std::string trace = (dir / "trace").string();
        EXPECT_EQ(run(args, withFaults({{"DYELOOM_TRACE", trace}})).status, 0);
        std::ifstream in(trace);
        std::vector<std::string> steps;
        for (std::string line; std::getline(in, line);)
            steps.push_back(line);
        fs::remove(trace);
        return steps;
    }

    void crashAtEveryStep(const char* seed, Relocation how = Relocation::None) {
        writeArchives();
        const std::vector<std::string> steps = protocolSteps(command());
        std::map<std::string, int> seen;
        for (const std::string& step : steps) {
            const std::string kind = step.substr(0, step.find(' '));
            const std::string crash = kind + ":" + std::to_string(++seen[kind]);
            SCOPED_TRACE(crash + (seed ? std::string(" seed ") + seed : ""));
            writeArchives();
            removeUndoPackages();
            std::vector<std::pair<std::string, std::string>> settings = {{"DYELOOM_CRASH", crash}};
            if (seed != nullptr)
                settings.emplace_back("DYELOOM_POWER_LOSS", seed);
            ASSERT_EQ(run(command(), withFaults(settings)).status, 128 + SIGKILL);
            relocate(how);
            bool journalled = false;
            for (const auto& entry : fs::directory_iterator(dir / folder))
                journalled |= entry.path().extension() == ".dyeloom-journal";

            // Each archive alone, the last first every other step: its journal restores it, or
            // is removed, never half of them, and the last one dealt with removes the
            // super-journal too.
            for (std::size_t k = 0; k < archives; ++k) {
                const std::size_t i = seen[kind] % 2 == 0 ? archives - 1 - k : k;
                const ProcessResult alone = run({archiveName(i), "none.dds", "none.dds", "16"});
                ASSERT_EQ(alone.status, 0) << alone.out;
            }
            const std::vector<int> after = states();
            EXPECT_TRUE(after == std::vector<int>(archives, 0) ||
                        after == std::vector<int>(archives, 1))
                << after[0] << after[1] << after[2];
            if (journalled) {
                EXPECT_EQ(filesBesideArchives(), 0u) << "a spent super-journal is left";
            }
            if (byPackage && after == std::vector<int>(archives, 1))
                expectUndoPackageRestores();

            const ProcessResult rerun = run(command());
            EXPECT_EQ(rerun.status, 0) << rerun.out;
            EXPECT_EQ(states(), std::vector<int>(archives, 1)) << rerun.out;
            EXPECT_EQ(filesBesideArchives(), 0u) << "no journal or super-journal is left";
        }
    }
};

// A stop signal, or a failure, while the second archive is written puts back the first one,
// which was written whole, and leaves nothing beside the archives.
TEST_F(GameCrashPoints, AnInterruptionOrAFailurePutsBackEveryArchive) {
    const std::string tail = "; the original bytes were put back and the archive is unchanged; "
                             "every other archive is unchanged\n";
    const std::pair<std::string, std::string> faults[] = {
        {"DYELOOM_RAISE", "INT:3"}, {"DYELOOM_FAULT", "half-write-no-restore"}};
    for (const auto& [setting, value] : faults) {
        SCOPED_TRACE(value);
        writeArchives();
        const ProcessResult result = run(command(), withFaults({{setting, value}}));
        if (setting == "DYELOOM_RAISE") {
            expectResult(result,
                         "interrupted (SIGINT) while 'data/data1.asf' was being written" + tail,
                         128 + SIGINT);
            EXPECT_EQ(states(), std::vector<int>(archives, 0));
            EXPECT_EQ(std::distance(fs::directory_iterator(dir / "data"), {}), 3);
            continue;
        }
        // The first archive cannot be put back: its journal and the super-journal stay, and a
        // rerun puts it back before it installs.
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.out.find("the super-journal 'data/data0.asf.dyeloom-super-journal' is "
                                  "kept for the journals of 'data/data0.asf'"),
                  std::string::npos)
            << result.out;
        EXPECT_TRUE(fs::exists(dir / "data" / "data0.asf.dyeloom-super-journal"));
        const ProcessResult rerun = run(command());
        EXPECT_EQ(rerun.out.rfind("restored bytes 80 to ", 0), 0u) << rerun.out;
        EXPECT_EQ(states(), std::vector<int>(archives, 1));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "data"), {}), 3);
    }
}

TEST_F(GameCrashPoints, EveryArchiveOrNoneAfterAKillAtAnyStep) {
    crashAtEveryStep(nullptr);
}

TEST_F(GameCrashPoints, EveryArchiveOrNoneAfterLostPower) {
    for (const char* seed : {"1", "2"})
        crashAtEveryStep(seed);
}

// The setting that kills a run of `args` as it writes its last archive.
std::string crashInLastArchiveWrite(const std::vector<std::string>& steps) {
    int writes = 0, last = 0;
    for (const std::string& step : steps) {
        writes += step.rfind("write ", 0) == 0 ? 1 : 0;
        last = step == "write archive" ? writes : last;
    }
    return "write:" + std::to_string(last);
}

// Two patches whose first archive is the same file, so whose super-journals take the same name:
// the first killed just after it committed, the second, an undo over that archive and a copy of
// it, killed as it wrote the copy. Each archive recovered alone keeps the first patch and puts
// back the second, and nothing is left beside them.
TEST_F(GameCrashPoints, TwoPatchesWhoseFirstArchiveIsTheSameFile) {
    const std::vector<std::string> undo = {"data/data0*.asf", "mod", "orig", "16"};
    const fs::path copy = dir / "data" / "data0b.asf";
    writeArchives();
    for (std::size_t i = 0; i < archives; ++i)
        writeBytes(archivePath(i), installed[i]);
    writeBytes(copy, installed[0]);
    const std::string crash = crashInLastArchiveWrite(protocolSteps(undo));

    writeArchives();
    ASSERT_EQ(run(command(), withFaults({{"DYELOOM_CRASH", "remove:1"}})).status, 128 + SIGKILL);
    EXPECT_EQ(states(), std::vector<int>(archives, 1));
    writeBytes(copy, installed[0]);
    ASSERT_EQ(run(undo, withFaults({{"DYELOOM_CRASH", crash}})).status, 128 + SIGKILL);
    // The undo's super-journal stands where the first patch's stood, beside its journals.
    ASSERT_TRUE(fs::exists(dir / "data" / "data0.asf.dyeloom-super-journal"));
    for (const char* archive :
         {"data/data2.asf", "data/data1.asf", "data/data0b.asf", "data/data0.asf"}) {
        const ProcessResult alone = run({archive, "none.dds", "none.dds", "16"});
        ASSERT_EQ(alone.status, 0) << alone.out;
    }
    EXPECT_EQ(states(), std::vector<int>(archives, 1));
    EXPECT_EQ(readBytes(copy), installed[0]);
    fs::remove(copy);
    EXPECT_EQ(filesBesideArchives(), 0u) << "no journal or super-journal is left";
}

// The journals and the super-journal name one another by name alone: a game's folder moved or
// restored from a copy elsewhere keeps its interrupted patch.
// From a package, the undo package is on the disk before the install can have gone through.
TEST_F(GameCrashPoints, EveryArchiveOrNoneFromAPackageWithItsUndoPackage) {
    ASSERT_EQ(run({"--pack", "mod.pkg", "orig", "mod", "16"}).status, 0);
    byPackage = true;
    crashAtEveryStep(nullptr);
    crashAtEveryStep("11");
}

// An undo package that cannot be written stops the install before any archive is touched, and
// leaves nothing of itself.
TEST_F(GameCrashPoints, NoInstallFromAPackageWithoutItsUndoPackage) {
    ASSERT_EQ(run({"--pack", "mod.pkg", "orig", "mod", "16"}).status, 0);
    byPackage = true;
    writeArchives();
    const ProcessResult result = run(command(), withFaults({{"DYELOOM_FAULT", "journal-write"}}));
    EXPECT_EQ(result.out.rfind("can't write the undo package 'mod.undo-1.pkg': ", 0), 0u)
        << result.out;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(states(), std::vector<int>(archives, 0));
    EXPECT_FALSE(fs::exists(dir / "mod.undo-1.pkg"));
    EXPECT_EQ(filesBesideArchives(), 0u);
}

TEST_F(GameCrashPoints, EveryArchiveOrNoneAfterTheGameMovedOrWasCopied) {
    crashAtEveryStep(nullptr, Relocation::Move);
    crashAtEveryStep(nullptr, Relocation::Copy);
}

} // namespace
} // namespace dyeloom
