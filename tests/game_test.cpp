// A mod installed into every archive of a game that a pattern names, checked first, and undone;
// nested textures; journals of a patch of several archives left by an interrupted run.
#include "super_journal.hpp"
#include "support/dyeloom_fixture.hpp"

#include <filesystem>
#include <map>

namespace dyeloom {
namespace {

using namespace test;
namespace fs = std::filesystem;

class Game : public DyeloomRun {
protected:
    std::map<std::string, std::pair<ByteBuffer, ByteBuffer>> textures; // original, modded
    std::vector<ByteBuffer> before, installed;                         // the three archives
    std::size_t files = 4; // in data/: the archives and a readme

    // A texture whose data is `from`'s data from `at` on, `bytes` of it: a smaller mip level.
    static ByteBuffer nestedIn(const ByteBuffer& from, std::size_t at, std::size_t bytes) {
        return concat(
            {ByteBuffer(headerSize, 7),
             ByteBuffer(from.begin() + static_cast<std::ptrdiff_t>(headerSize + at),
                        from.begin() + static_cast<std::ptrdiff_t>(headerSize + at + bytes))});
    }

    void SetUp() override {
        std::uint8_t seed = 60;
        for (const char* name :
             {"A.dds", "B.dds", "C.dds", "D.dds", "big.dds", "big2.dds", "gone.dds"})
            textures[name] = {ddsLike(300, seed), ddsLike(300, seed + 1)}, seed += 2;
        const auto& [big, bigModded] = textures.at("big.dds");
        // mip.dds lies inside big.dds and its modded data agrees; bad.dds lies inside big2.dds
        // and its modded data does not.
        textures["mip.dds"] = {nestedIn(big, 100, 120), nestedIn(bigModded, 100, 120)};
        textures["bad.dds"] = {nestedIn(textures.at("big2.dds").first, 50, 100), ddsLike(116, 90)};
        for (const auto& [name, pair] : textures) {
            fs::create_directories(dir / "orig");
            fs::create_directories(dir / "mod");
            writeBytes(dir / "orig" / name, pair.first);
            writeBytes(dir / "mod" / name, pair.second);
        }
        const auto& t = textures;
        // A in two archives; D installed before; B at the very end of its archive.
        before = {concat({zeros, t.at("A.dds").first, zeros, t.at("big.dds").first, zeros,
                          t.at("big2.dds").first, zeros, t.at("B.dds").first}),
                  concat({zeros, t.at("C.dds").first, zeros, t.at("A.dds").first, zeros}),
                  concat({zeros, t.at("D.dds").second, zeros})};
        const auto put = [&](const ByteBuffer& archive, const char* name, std::size_t at) {
            return patched(archive, t.at(name).second, at, t.at(name).first.size());
        };
        installed = {put(put(put(before[0], "A.dds", 64), "big.dds", 428), "B.dds", 1156),
                     put(put(before[1], "C.dds", 64), "A.dds", 428), before[2]};
        fs::create_directories(dir / "data");
        for (std::size_t i = 0; i < before.size(); ++i)
            writeBytes(archivePath(i), before[i]);
        writeBytes(dir / "data" / "readme.txt", ddsLike(100, 3));
#ifndef _WIN32
        // A second name of an archive is the same archive, searched and patched once.
        fs::create_symlink("data1.asf", dir / "data" / "zlink.asf");
        ++files;
#endif
    }

    fs::path archivePath(std::size_t i) const {
        return dir / "data" / ("data" + std::to_string(i) + ".asf");
    }
    void expectArchives(const std::vector<ByteBuffer>& expected) const {
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(readBytes(archivePath(i)), expected[i]) << i;
    }
    // Nothing but what SetUp made: no journal, no super-journal.
    std::size_t filesInData() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir / "data"), {}));
    }
};

const std::string installLines =
    "replaced: A.dds in data/data0.asf\nreplaced: A.dds in data/data1.asf\n"
    "replaced: B.dds in data/data0.asf\nreplaced: C.dds in data/data1.asf\n"
    "already replaced: D.dds in data/data2.asf\n"
    "conflict: bad.dds in data/data0.asf: its data overlaps that of big2.dds there; neither is "
    "written\nreplaced: big.dds in data/data0.asf\n"
    "conflict: big2.dds in data/data0.asf: its data overlaps that of bad.dds there; neither is "
    "written\nnot found: gone.dds\nreplaced: mip.dds in data/data0.asf\n"
    "9 textures: 5 replaced, 1 already replaced, 1 not found, 0 skipped, 2 in conflict; ";

TEST_F(Game, AModIsCheckedInstalledInEveryArchiveAndUndone) {
    expectResult(run({"--check", "data/*.asf", "orig", "mod", "16"}),
                 installLines + "2 of 3 archives would be patched; nothing was written (check "
                                "only)\n",
                 0);
    expectArchives(before);
    expectResult(run({"data/*.asf", "orig", "mod", "16"}),
                 installLines + "2 of 3 archives patched\n", 0);
    expectArchives(installed);
    EXPECT_EQ(filesInData(), files);

    // The same again changes nothing; the undo puts every original back, D's too.
    const ProcessResult again = run({"data/*.asf", "orig", "mod", "16"});
    EXPECT_NE(again.out.find(consoleText("already replaced: A.dds in data/data1.asf\n")),
              std::string::npos)
        << again.out;
    EXPECT_NE(again.out.find("0 of 3 archives patched"), std::string::npos) << again.out;
    expectArchives(installed);
    EXPECT_EQ(run({"data/*.asf", "mod", "orig", "16"}).status, 0);
    std::vector<ByteBuffer> undone = before;
    undone[2] = patched(before[2], textures.at("D.dds").first, 64, 300);
    expectArchives(undone);
    EXPECT_EQ(filesInData(), files);

    expectResult(run({"data/*.pak", "orig", "mod", "16"}),
                 "no archive matches 'data/*.pak'; nothing was changed\n", 1);
    expectArchives(undone);
}

// The single-archive folder form writes nested textures that agree as one span too.
TEST_F(Game, NestedTexturesThatAgreeAreBothWritten) {
    const ProcessResult result = run({"data/data0.asf", "orig", "mod", "16"});
    EXPECT_EQ(result.status, 0);
    for (const char* line : {"replaced: big.dds\n", "replaced: mip.dds\n",
                             "conflict: bad.dds: its data overlaps that of big2.dds in the "
                             "archive; neither is written\n"})
        EXPECT_NE(result.out.find(consoleText(line)), std::string::npos) << result.out;
    expectArchives({installed[0]});
}

// A journal left of a patch of several archives restores its archive only while the patch's
// super-journal lists it; with the super-journal gone the patch had committed, and the journal
// is removed without restoring anything. A check reports either and changes nothing.
TEST_F(Game, AJournalIsRestoredOnlyWhileItsSuperJournalStands) {
    const fs::path journal = dir / "data" / "data1.asf.dyeloom-journal";
    const std::string superName = "data0.asf.dyeloom-super-journal";
    JournalLocation located;
    ASSERT_FALSE(locateJournal(archivePath(1).string(), located));
    const ByteBuffer kept(300, 9); // what a restore would put back over C.dds's place
    std::vector<ByteBuffer> restored = before;
    std::copy(kept.begin(), kept.end(), restored[1].begin() + 64);
    for (const bool superStands : {true, false}) {
        SCOPED_TRACE(superStands);
        writeBytes(archivePath(1), before[1]);
        writeJournal(archivePath(1), journal, 64, kept, superName);
        JournalLocation super{(dir / "data" / superName).string(), superName};
        if (superStands) {
            ASSERT_FALSE(createSuperJournal(super, {"elsewhere", located.path}));
        }
        const ProcessResult check = run({"--check", "data/*", "orig", "mod", "16"});
        EXPECT_EQ(check.status, 0);
        const std::string finding =
            superStands ? "a run would first restore bytes 64 to 363" : "it has nothing to restore";
        EXPECT_EQ(check.out.rfind(consoleText("'data/data1.asf.dyeloom-journal', the journal of an "
                                              "interrupted patch of 'data/data1.asf', is kept "
                                              "(check only): " +
                                              finding),
                                  0),
                  0u)
            << check.out;
        EXPECT_TRUE(fs::exists(journal));
        expectArchives(before);

        // One archive alone, by the four-file form.
        writeBytes(dir / "none.dds", ddsLike(300, 99));
        const ProcessResult alone = run({"data/data1.asf", "none.dds", "none.dds", "16"});
        EXPECT_EQ(alone.status, 0) << alone.out;
        EXPECT_EQ(readBytes(archivePath(1)), superStands ? restored[1] : before[1]);
        EXPECT_FALSE(fs::exists(journal));
        // The last journal it lists restored, the super-journal goes too.
        EXPECT_FALSE(fs::exists(super.path));
    }
}

// A journal that names its super-journal by full path in a folder that is gone (the game has
// moved since) may still be needed: nothing says whether its patch completed. It is kept.
TEST_F(Game, AJournalWhosePairingNothingSettlesIsKept) {
    const fs::path journal = dir / "data" / "data1.asf.dyeloom-journal";
    const fs::path super = dir / "gone" / "data0.asf.dyeloom-super-journal";
    writeJournal(archivePath(1), journal, 64, ByteBuffer(300, 9), super.string());
    const ProcessResult result = run({"data/data1.asf", "orig/A.dds", "mod/A.dds", "16"});
    EXPECT_EQ(result.out.rfind("can't tell whether the patch of several archives that "
                               "'data/data1.asf.dyeloom-journal', the journal of "
                               "'data/data1.asf', belongs to had completed",
                               0),
              0u)
        << result.out;
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(fs::exists(journal));
    expectArchives(before);
}

} // namespace
} // namespace dyeloom
