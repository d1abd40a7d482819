// A mod installed into every archive of a game that a pattern names, checked first, and undone;
// nested textures; journals of a patch of several archives left by an interrupted run.
#include "super_journal.hpp"
#include "support/game_fixture.hpp"

#include <filesystem>
#include <map>

namespace dyeloom {
namespace {

using namespace test;
namespace fs = std::filesystem;

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
