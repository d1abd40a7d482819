// A mod packed without its originals, installed from the package in one archive or a whole game,
// checked, rerun and undone with the undo package; packages that are not sound change nothing.
#include "support/game_fixture.hpp"

#include <algorithm>
#include <filesystem>

namespace dyeloom {
namespace {

using namespace test;
namespace fs = std::filesystem;

class Package : public Game {
protected:
    void pack(const std::string& name = "mod.pkg") {
        ASSERT_EQ(run({"--pack", name, "orig", "mod", "16"}).status, 0);
    }
    // Whether any 32 bytes of `data` past its header, taken every 16 bytes, are in `within`.
    static bool holdsPartOf(const ByteBuffer& within, const ByteBuffer& data) {
        for (std::size_t at = headerSize; at + 32 <= data.size(); at += 16) {
            const auto from = data.begin() + static_cast<std::ptrdiff_t>(at);
            if (std::search(within.begin(), within.end(), from, from + 32) != within.end())
                return true;
        }
        return false;
    }
};

TEST_F(Package, IsPackedCheckedInstalledRerunAndUndoneByteForByte) {
    const ProcessResult packed = run({"--pack", "mod.pkg", "orig", "mod", "16"});
    std::string lines;
    std::size_t moddedData = 0;
    for (const auto& [name, pair] : textures) {
        lines += "packed: " + name + "\n";
        moddedData += pair.second.size() - headerSize;
    }
    const ByteBuffer package = readBytes(dir / "mod.pkg");
    expectResult(packed,
                 lines + "9 textures: 9 packed, 0 skipped; 'mod.pkg' is " +
                     std::to_string(package.size()) + " bytes\n",
                 0);
    EXPECT_LE(package.size(), moddedData + 4096 * textures.size());
    for (const auto& [name, pair] : textures)
        EXPECT_FALSE(holdsPartOf(package, pair.first)) << name << ": the game's data is packed";

    expectResult(run({"--check", "data/*.asf", "mod.pkg"}),
                 installLines + "2 of 3 archives would be patched; nothing was written (check "
                                "only)\n",
                 0);
    expectArchives(before);
    expectResult(run({"--install", "data/*.asf", "mod.pkg"}),
                 installLines + "2 of 3 archives patched\nundo: 'mod.undo-1.pkg'\n", 0);
    expectArchives(installed);
    EXPECT_EQ(filesInData(), files);

    // Nothing left to write: no undo package either.
    const ProcessResult again = run({"--install", "data/*.asf", "mod.pkg"});
    EXPECT_NE(again.out.find(consoleText("0 of 3 archives patched\n")), std::string::npos)
        << again.out;
    EXPECT_FALSE(fs::exists(dir / "mod.undo-2.pkg"));
    expectArchives(installed);

    // The undo puts back what the install overwrote, and only that: D was installed before.
    const ProcessResult undo = run({"--install", "data/*.asf", "mod.undo-1.pkg"});
    EXPECT_EQ(undo.status, 0) << undo.out;
    EXPECT_NE(undo.out.find(consoleText("undo: 'mod.undo-1.undo-1.pkg'\n")), std::string::npos);
    expectArchives(before);
    EXPECT_EQ(filesInData(), files);
}

// One archive alone; an archive holding no original of the package is left as it is, with no
// undo package.
TEST_F(Package, InstallsInOneArchiveAndWritesNothingWhereNoOriginalIs) {
    pack();
    const ProcessResult one = run({"--install", "data/data0.asf", "mod.pkg"});
    EXPECT_EQ(one.status, 0);
    for (const char* line : {"replaced: big.dds\n", "replaced: mip.dds\n", "not found: C.dds\n",
                             "'data/data0.asf' is patched\nundo: 'mod.undo-1.pkg'\n"})
        EXPECT_NE(one.out.find(consoleText(line)), std::string::npos) << one.out;
    expectArchives({installed[0], before[1], before[2]});

    expectResult(run({"--install", "data/data2.asf", "mod.pkg"}),
                 "not found: A.dds\nnot found: B.dds\nnot found: C.dds\n"
                 "already replaced: D.dds\nnot found: bad.dds\nnot found: big.dds\n"
                 "not found: big2.dds\nnot found: gone.dds\nnot found: mip.dds\n"
                 "9 textures: 0 replaced, 1 already replaced, 8 not found, 0 skipped, 0 in "
                 "conflict; 'data/data2.asf' is unchanged\n",
                 0);
    EXPECT_FALSE(fs::exists(dir / "mod.undo-2.pkg"));
}

// Cut short, corrupt, crafted or not a package at all: the run ends before any archive changes.
TEST_F(Package, ThatIsNotSoundChangesNothing) {
    pack();
    const ByteBuffer good = readBytes(dir / "mod.pkg");
    const auto changed = [&](std::size_t at) {
        ByteBuffer bytes = good;
        bytes[at] ^= 0x40;
        return bytes;
    };
    const std::pair<ByteBuffer, std::string> packages[] = {
        {ByteBuffer(good.begin(), good.end() - 7),
         "its directory does not end where the file does"},
        {ByteBuffer(good.begin(), good.begin() + 40), "it is shorter than a package's header"},
        {changed(good.size() - 3), "its checksum does not match its contents"},
        {changed(200), "the data of 'A.dds' does not match its digest"},
        {changed(2), "it is not a Dyeloom package"},
        {changed(16), "it is of format version 65, which this Dyeloom does not read"},
        {readBytes(dir / "data" / "readme.txt"), "it is not a Dyeloom package"}};
    for (const auto& [bytes, reason] : packages) {
        SCOPED_TRACE(reason);
        writeBytes(dir / "bad.pkg", bytes);
        expectResult(run({"--install", "data/*.asf", "bad.pkg"}),
                     "can't read the package 'bad.pkg': " + reason + "; nothing was changed\n", 1);
        expectArchives(before);
        EXPECT_FALSE(fs::exists(dir / "bad.undo-1.pkg"));
    }
    fs::create_directories(dir / "folder.pkg");
    EXPECT_EQ(run({"--check", "data/*.asf", "folder.pkg"}).status, 1);
    EXPECT_EQ(run({"--install", "data/*.asf", "missing.pkg"}).status, 1);
    expectArchives(before);
}

// A texture a fingerprint cannot find is not packed; a package that cannot be written leaves
// nothing at its name, and one written replaces what was there whole.
TEST_F(Package, IsWrittenWholeOrNotAtAll) {
    writeBytes(dir / "orig" / "tiny.dds", ByteBuffer(headerSize + 4, 1));
    writeBytes(dir / "mod" / "tiny.dds", ByteBuffer(headerSize + 4, 2));
    writeBytes(dir / "mod.pkg", ByteBuffer(10, 1));
    const ProcessResult packed = run({"--pack", "mod.pkg", "orig", "mod", "16"});
    EXPECT_NE(packed.out.find(consoleText("skipped: tiny.dds: its original has too little detail "
                                          "to be found by a fingerprint\n")),
              std::string::npos)
        << packed.out;
    EXPECT_NE(packed.out.find("9 packed, 1 skipped"), std::string::npos) << packed.out;
    EXPECT_GT(readBytes(dir / "mod.pkg").size(), 10u);

    const ProcessResult failed = run({"--pack", "nowhere/mod.pkg", "orig", "mod", "16"});
    EXPECT_EQ(failed.out.rfind("can't write the package 'nowhere/mod.pkg': ", 0), 0u) << failed.out;
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), {})), 4u)
        << "orig, mod, data and mod.pkg: nothing else";

    // Every other count of arguments is the usage (four are the single texture's form).
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--install", "mod.pkg"},
                                                 {"--check", "mod.pkg"},
                                                 {"--pack", "p", "orig", "mod", "16", "x"}})
        EXPECT_EQ(run(args).out.rfind("howto use: ", 0), 0u) << args[0] << args.size();
}

} // namespace
} // namespace dyeloom
