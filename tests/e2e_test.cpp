// Runs the built Dyeloom binary on files in a scratch folder and checks what it prints, its exit
// status and every byte of the archive it leaves behind.
#include "journal.hpp"
#include "support/dyeloom_fixture.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dyeloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::string usageLine = "howto use: Dyeloom.exe filename.asf originalTexture.dds "
                              "moddedTexture.dds dds_header_bytes\n";

// An archive spelled out a piece a letter: Z 64 zeros, O the original texture, H the original
// under a header of the archive's own, X the original with its first (header) byte changed,
// S the original but its last byte.
ByteBuffer archiveOf(const std::string& pieces, const ByteBuffer& original) {
    ByteBuffer archive;
    for (const char piece : pieces) {
        ByteBuffer part = piece == 'Z' ? ByteBuffer(64, 0) : original;
        if (piece == 'H')
            std::fill(part.begin(), part.begin() + headerSize, 0xEE);
        if (piece == 'X')
            part[0] = 'X';
        if (piece == 'S')
            part.pop_back();
        archive = concat({archive, part});
    }
    return archive;
}

// One run: the archive written as `archiveName` (the original texture's own file when that is
// old.dds), the arguments after the program's name, what it must print, and, when it patches,
// the offset where the texture is stored and the header count used.
struct RunCase {
    const char* name;
    const char* archive;
    std::vector<std::string> args;
    std::string out;
    int status;
    std::optional<std::size_t> patchedAt = std::nullopt;
    std::size_t header = headerSize;
    std::string archiveName = "pack.asf";
    friend void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
};

const std::vector<std::string> standard = {"pack.asf", "old.dds", "new.dds", "16"};
std::vector<std::string> withHeader(const std::string& header) {
    return {"pack.asf", "old.dds", "new.dds", header};
}

class SingleRun : public DyeloomRun, public ::testing::WithParamInterface<RunCase> {
    void SetUp() override {
        DyeloomRun::SetUp();
        writeBytes(dir / "empty.dds", ByteBuffer{});
        writeBytes(dir / "short.dds", ByteBuffer(modded.begin(), modded.end() - 1));
        writeBytes(dir / "long.dds", concat({modded, ByteBuffer(50, 0xAB)}));
    }
};

TEST_P(SingleRun, PrintsAndLeavesTheArchiveAsExpected) {
    const RunCase& c = GetParam();
    const ByteBuffer before = archiveOf(c.archive, original);
    writeBytes(dir / c.archiveName, before);
    expectResult(run(c.args), c.out, c.status);
    const ByteBuffer expected =
        c.patchedAt ? patched(before, modded, *c.patchedAt, original.size(), c.header) : before;
    EXPECT_EQ(readBytes(dir / c.archiveName), expected);
    EXPECT_FALSE(journalLeft(c.archiveName));
}

const std::string unchanged = "; the archive is unchanged\n";
const std::string cantOpen = "can't open '";
const std::string sameFile =
    "the archive 'pack.asf' and the modded texture 'pack.asf' are the same file" + unchanged;
const std::string shorter = "modded texture 'short.dds' is shorter (299 bytes) than the original "
                            "texture 'old.dds' (300 bytes)" +
                            unchanged;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, SingleRun, ::testing::Values(
    RunCase{"no_arguments", "ZOZ", {}, usageLine, 1},
    RunCase{"three_arguments", "ZOZ", {"pack.asf", "old.dds", "new.dds"}, usageLine, 1},
    RunCase{"five_arguments", "ZOZ", {"pack.asf", "old.dds", "new.dds", "16", "x"}, usageLine, 1},
    RunCase{"replaces_only_the_data", "ZOZ", standard, replacedLine, 0, 64},
    // The archive's own copy of the header is neither compared nor overwritten...
    RunCase{"keeps_the_archives_header", "ZHZ", standard, replacedLine, 0, 64},
    // ...unless the header count says there is none.
    RunCase{"header_compared_when_zero", "ZHZ", withHeader("0"), notFoundLine, 0},
    RunCase{"texture_at_the_start", "OZ", standard, replacedLine, 0, 0},
    RunCase{"only_the_first_of_two_copies", "ZOZOZ", standard, replacedLine, 0, 64},
    RunCase{"texture_at_the_end", "ZO", standard, replacedLine, 0, 64},
    RunCase{"texture_is_the_archive", "O", standard, replacedLine, 0, 0},
    RunCase{"not_found", "ZZ", standard, notFoundLine, 0},
    RunCase{"negative_header", "ZOZ", withHeader("-5"), notFoundLine, 0},
    RunCase{"header_covers_the_texture", "ZOZ", withHeader("300"), notFoundLine, 0},
    RunCase{"archive_shorter_than_texture", "S", standard, notFoundLine, 0},
    RunCase{"empty_archive", "", standard, notFoundLine, 0},
    RunCase{"empty_original", "ZO", {"pack.asf", "empty.dds", "new.dds", "0"}, notFoundLine, 0},
    // A header count that is no number ends the run (its parsing is tested on its own).
    RunCase{"header_without_digits", "ZOZ", withHeader("abc"), "invalid stoi argument\n", 1},
    // Missing files are reported in load order, before the header count is read.
    RunCase{"missing_archive", "ZOZ", {"x.asf", "gone.dds", "new.dds", "abc"},
            cantOpen + "x.asf'\nfatal error\n", 1},
    RunCase{"missing_original", "ZOZ", {"pack.asf", "gone.dds", "new.dds", "16"},
            cantOpen + "gone.dds'\nfatal error\n", 1},
    RunCase{"missing_modded", "ZOZ", {"pack.asf", "old.dds", "sub/gone.dds", "abc"},
            cantOpen + "sub/gone.dds'\nfatal error\n", 1},
    RunCase{"modded_shorter", "ZOZ", {"pack.asf", "old.dds", "short.dds", "16"}, shorter, 1},
    RunCase{"modded_longer", "ZOZ", {"pack.asf", "old.dds", "long.dds", "16"}, replacedLine, 0, 64},
    // A loose texture patched in place: the archive and the original are one file.
    RunCase{"archive_is_the_original", "O", {"old.dds", "old.dds", "new.dds", "16"}, replacedLine,
            0, 0, headerSize, "old.dds"},
    RunCase{"archive_is_the_modded", "ZOZ", {"pack.asf", "old.dds", "pack.asf", "16"}, sameFile, 1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

std::string utf8(std::u8string_view text) {
    return {reinterpret_cast<const char*>(text.data()), text.size()};
}

// Modders' folders are named in every script. On Windows the narrow command line would pass
// them through the system's code page, which holds only one script besides Latin.
TEST_F(DyeloomRun, OpensPathsWrittenInAnyScript) {
    const std::u8string archiveName = u8"Текстуры/paquet_é.asf";
    const std::u8string originalName = u8"古いテクスチャ.dds";
    const std::u8string moddedName = u8"nouvelle_ñ_текстура.dds";
    fs::create_directory(dir.path() / fs::path(u8"Текстуры"));
    writeBytes(dir.path() / fs::path(archiveName), archive);
    writeBytes(dir.path() / fs::path(originalName), original);
    writeBytes(dir.path() / fs::path(moddedName), modded);

    expectResult(run({utf8(archiveName), utf8(originalName), utf8(moddedName), "16"}), replacedLine,
                 0);
    EXPECT_EQ(readBytes(dir.path() / fs::path(archiveName)), archivePatched);

    // Messages name the file as typed.
    const std::u8string missing = u8"Текстуры/ない.asf";
    expectResult(run({utf8(missing), utf8(originalName), utf8(moddedName), "16"}),
                 "can't open '" + utf8(missing) + "'\nfatal error\n", 1);
}

// A name as long as a file name may be leaves no room for the journal's suffix: the journal gets
// a shorter name that the next run finds again. A path that cannot name a file is reported as
// one that cannot be opened, not as a kept journal.
TEST_F(DyeloomRun, LongArchiveNamesGetAJournalToo) {
    std::u8string longName;
    for (int i = 0; i < 81; ++i)
        longName += u8"テ";
    longName += u8".asf";
    const std::string name = utf8(longName);
    writeBytes(dir.path() / fs::path(longName), archive);
    expectResult(run({name, "new.dds", "old.dds", "16"}), notFoundLine, 0);
    expectResult(run({name + "/", "old.dds", "new.dds", "16"}),
                 "can't open '" + name + "/'\nfatal error\n", 1);
    expectResult(run({name, "old.dds", "new.dds", "16"}), replacedLine, 0);
    EXPECT_EQ(readBytes(dir.path() / fs::path(longName)), archivePatched);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3)
        << "nothing left beside the archive and the textures";
}

// A mod: every outcome a texture can have, in subfolders and under names outside ASCII, then a
// rerun that finds it installed and the undo, the same command with the folders swapped.
TEST_F(DyeloomRun, AModIsInstalledReportedAndUndone) {
    const fs::path unicode = fs::path(u8"テクスチャ") / "c.dds";
    std::map<fs::path, std::pair<ByteBuffer, ByteBuffer>> textures; // original, modded
    std::uint8_t seed = 10;
    for (const fs::path& name : {fs::path("a.dds"), fs::path("sub/b.dds"), unicode,
                                 fs::path("gone.dds"), fs::path("done.dds"), fs::path("big.dds")})
        textures[name] = {ddsLike(300, seed), ddsLike(300, seed + 1)}, seed += 2;
    textures["big.dds"].second.resize(400);
    // x and y: their data overlap where the archive holds them.
    const ByteBuffer shared = ddsLike(450, 40);
    textures["x.dds"] = {
        concat({ByteBuffer(16, 1), ByteBuffer(shared.begin(), shared.begin() + 284)}),
        ddsLike(300, 41)};
    textures["y.dds"] = {
        concat({ByteBuffer(16, 2), ByteBuffer(shared.begin() + 150, shared.begin() + 434)}),
        ddsLike(300, 42)};
    for (const auto& [name, pair] : textures) {
        fs::create_directories((dir / "orig" / name).parent_path());
        fs::create_directories((dir / "mod" / name).parent_path());
        writeBytes(dir / "orig" / name, pair.first);
        writeBytes(dir / "mod" / name, pair.second);
    }
    writeBytes(dir / "orig" / "case.dds", ddsLike(300, 50));
    writeBytes(dir / "mod" / "CASE.DDS", ddsLike(300, 51));
    writeBytes(dir / "mod" / "lonely.dds", ddsLike(300, 52));
    fs::create_directories(dir / "orig" / "dir.dds");
    writeBytes(dir / "mod" / "dir.dds", ddsLike(300, 53));

    const auto& t = textures;
    const ByteBuffer before = concat({zeros, t.at("a.dds").first, zeros, t.at("sub/b.dds").first,
                                      zeros, t.at(unicode).first, zeros, t.at("done.dds").second,
                                      zeros, shared, zeros, ddsLike(300, 50), zeros});
    writeBytes(dir / "pack.asf", before);
    const auto at = [&](std::size_t piece) { return zeros.size() * (piece + 1) + 300 * piece; };
    ByteBuffer installed = patched(before, t.at("a.dds").second, at(0), 300);
    installed = patched(installed, t.at("sub/b.dds").second, at(1), 300);
    installed = patched(installed, t.at(unicode).second, at(2), 300);
    const std::string c = utf8(unicode.generic_u8string());
    const std::string tail = " in conflict; 'pack.asf' is ";
    const std::string others =
        "skipped: big.dds: the modded texture is 400 bytes, the original 300; a texture patched "
        "in place keeps its size\n"
        "skipped: dir.dds: 'orig/dir.dds' is a folder\n";
    const std::string conflicts =
        "conflict: x.dds: its data overlaps that of y.dds in the archive; neither is written\n"
        "conflict: y.dds: its data overlaps that of x.dds in the archive; neither is written\n";
    // Names match as the file system matches them: without regard to case on Windows.
#ifdef _WIN32
    installed = patched(installed, ddsLike(300, 51), at(5) + 150, 300);
    const std::string caseLine = "replaced: CASE.DDS\n", rerunCase = "already replaced: CASE.DDS\n";
    const std::string counts = "11 textures: 4 replaced, 1 already replaced, 1 not found, 3 "
                               "skipped, 2",
                      rerunCounts = "11 textures: 0 replaced, 5 already replaced, 1 not found, 3 "
                                    "skipped, 2";
#else
    const std::string caseLine = "skipped: CASE.DDS: no original of that name in 'orig'\n";
    const std::string rerunCase = caseLine;
    const std::string counts = "11 textures: 3 replaced, 1 already replaced, 1 not found, 4 "
                               "skipped, 2",
                      rerunCounts = "11 textures: 0 replaced, 4 already replaced, 1 not found, 4 "
                                    "skipped, 2";
#endif
    expectResult(run({"pack.asf", "orig", "mod", "16"}),
                 caseLine + "replaced: a.dds\n" + others + "already replaced: done.dds\n" +
                     "not found: gone.dds\nskipped: lonely.dds: no original of that name in "
                     "'orig'\nreplaced: sub/b.dds\n" +
                     conflicts + "replaced: " + c + "\n" + counts + tail + "patched\n",
                 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), installed);
    EXPECT_FALSE(journalLeft());

    expectResult(run({"pack.asf", "orig", "mod", "16"}),
                 rerunCase + "already replaced: a.dds\n" + others +
                     "already replaced: done.dds\nnot found: gone.dds\nskipped: lonely.dds: no "
                     "original of that name in 'orig'\nalready replaced: sub/b.dds\n" +
                     conflicts + "already replaced: " + c + "\n" + rerunCounts + tail +
                     "unchanged\n",
                 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), installed);

    // The undo puts back every original, done.dds's too.
    EXPECT_EQ(run({"pack.asf", "mod", "orig", "16"}).status, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), patched(before, t.at("done.dds").first, at(3), 300));
    EXPECT_FALSE(journalLeft());
}

// Textures large enough to be sampled, laid out as the edge cases of finding them: two stored
// back to back, the second's header the first's last bytes (their spans touch, they do not
// conflict), one whose modded data stands earlier in
// the archive than its original (still replaced there), one whose first two MiB are blank, so
// that the part the search indexes lies far into it, stored at the archive's very end; and a
// second name of the archive among the originals and among the modded textures, never read into
// it.
TEST_F(DyeloomRun, AModOfSampledTexturesIsInstalledWhereItsBytesSay) {
    const auto pair = [](std::size_t size, std::uint8_t seed) {
        return std::pair{ddsLike(size, seed), ddsLike(size, seed + 1)};
    };
    std::map<std::string, std::pair<ByteBuffer, ByteBuffer>> t{{"a_back.dds", pair(65536, 60)},
                                                               {"b_back.dds", pair(65536, 62)},
                                                               {"c_earlier.dds", pair(65536, 64)},
                                                               {"p_plain.dds", pair(3 << 20, 66)}};
    std::fill_n(t["p_plain.dds"].first.begin() + 4, (2 << 20) - 4, 0);
    ByteBuffer& b = t["b_back.dds"].first;
    std::copy(t["a_back.dds"].first.end() - headerSize, t["a_back.dds"].first.end(), b.begin());
    const ByteBuffer before =
        concat({zeros, t["a_back.dds"].first, ByteBuffer(b.begin() + headerSize, b.end()), zeros,
                t["c_earlier.dds"].second, zeros, t["c_earlier.dds"].first, zeros,
                t["p_plain.dds"].first});
    fs::create_directories(dir / "orig");
    fs::create_directories(dir / "mod");
    for (const auto& [name, bytes] : t) {
        writeBytes(dir / "orig" / name, bytes.first);
        writeBytes(dir / "mod" / name, bytes.second);
    }
    writeBytes(dir / "pack.asf", before);
    std::string selfLines;
    int selfSkipped = 0;
#ifndef _WIN32
    fs::create_hard_link(dir / "pack.asf", dir / "orig" / "self_orig.dds");
    writeBytes(dir / "mod" / "self_orig.dds", ddsLike(before.size(), 70));
    writeBytes(dir / "orig" / "self_mod.dds", before);
    fs::create_hard_link(dir / "pack.asf", dir / "mod" / "self_mod.dds");
    selfLines = "skipped: self_mod.dds: it is the archive itself\n"
                "skipped: self_orig.dds: it is the archive itself\n";
    selfSkipped = 2;
#endif
    const std::size_t bAt = zeros.size() + 65536 - headerSize;
    const std::size_t cAt = bAt + 2 * (65536 + zeros.size());
    ByteBuffer installed = patched(before, t["a_back.dds"].second, zeros.size(), 65536);
    installed = patched(installed, t["b_back.dds"].second, bAt, 65536);
    installed = patched(installed, t["c_earlier.dds"].second, cAt, 65536);
    installed = patched(installed, t["p_plain.dds"].second, cAt + 65536 + zeros.size(), 3 << 20);
    expectResult(run({"pack.asf", "orig", "mod", "16"}),
                 "replaced: a_back.dds\nreplaced: b_back.dds\nreplaced: c_earlier.dds\n"
                 "replaced: p_plain.dds\n" +
                     selfLines + std::to_string(4 + selfSkipped) +
                     " textures: 4 replaced, 0 already replaced, 0 not found, " +
                     std::to_string(selfSkipped) +
                     " skipped, 0 in conflict; 'pack.asf' is patched\n",
                 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), installed);
}

// Characters every platform allows in a name but that reorder or break a line are shown escaped,
// the same way on Linux and on Windows.
TEST_F(DyeloomRun, AModsNamesAreShownTheSameWayEverywhere) {
    const fs::path name(u8"r\u202Egpj\u0085.dds");
    fs::create_directories(dir / "orig");
    fs::create_directories(dir / "mod");
    writeBytes(dir / "orig" / name, original);
    writeBytes(dir / "mod" / name, modded);
    writeBytes(dir / "pack.asf", archive);
    expectResult(run({"pack.asf", "orig", "mod", "16"}),
                 "replaced: r\\xE2\\x80\\xAEgpj\\xC2\\x85.dds\n1 texture: 1 replaced, 0 already "
                 "replaced, 0 not found, 0 skipped, 0 in conflict; 'pack.asf' is patched\n",
                 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archivePatched);
}

// A run interrupted part way leaves the span torn and the journal beside the archive. The next
// run puts the journalled bytes back before it searches, then patches as asked.
class LeftBehind : public DyeloomRun {
protected:
    const std::string kept = "; nothing was changed, and its journal 'pack.asf.dyeloom-journal' "
                             "of an interrupted patch is kept\n";
};

// A journal applies only to the archive it was written for: one of another size, another file
// of the same size put in its place, or the same file with other bytes around the span.
TEST_F(LeftBehind, AJournalForAnotherArchiveIsKept) {
    const std::string cannot = "can't restore 'pack.asf' from its journal "
                               "'pack.asf.dyeloom-journal': ";
    const std::string otherBytes = cannot +
                                   "the bytes around the journalled ones are not those "
                                   "the patch began with: the archive is another file "
                                   "now, or the journal was not written for it" +
                                   kept;
    ByteBuffer sameSize = archive;
    sameSize[3] ^= 1;
    const std::pair<ByteBuffer, std::string> others[] = {
        {concat({archive, zeros}),
         cannot + "the archive is 492 bytes now, not 428 as when the patch began" + kept},
        {sameSize, otherBytes}};
    for (const auto& [other, message] : others) {
        for (const bool renamedOver : {false, true}) {
            writeBytes(dir / "pack.asf", archive);
            writeJournal(dir / "pack.asf", dir / "pack.asf.dyeloom-journal",
                         zeros.size() + headerSize, Bytes(original).subspan(headerSize));
            writeBytes(dir / (renamedOver ? "other.asf" : "pack.asf"), other);
            if (renamedOver)
                fs::rename(dir / "other.asf", dir / "pack.asf");
            expectResult(patch(), message, 1);
            EXPECT_EQ(readBytes(dir / "pack.asf"), other);
            EXPECT_TRUE(journalLeft());
            fs::remove(dir / "pack.asf.dyeloom-journal");
        }
    }
}

#ifndef _WIN32
TEST_F(DyeloomRun, PatchesInPlaceKeepingLinksAndPermissions) {
    writeBytes(dir / "real.asf", archive);
    fs::permissions(dir / "real.asf", fs::perms(0640));
    fs::create_hard_link(dir / "real.asf", dir / "hard.asf");
    fs::create_symlink("real.asf", dir / "pack.asf");
    struct stat before {};
    ASSERT_EQ(stat((dir / "real.asf").c_str(), &before), 0);

    expectResult(patch(), replacedLine, 0);

    struct stat after {};
    ASSERT_EQ(stat((dir / "real.asf").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_TRUE(fs::is_symlink(dir / "pack.asf"));
    EXPECT_EQ(readBytes(dir / "hard.asf"), archivePatched);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archivePatched);
}

// Mod managers deploy files as links: the same file may arrive under two names.
TEST_F(DyeloomRun, RecognisesOneFileUnderTwoNames) {
    writeBytes(dir / "pack.asf", archive);
    fs::create_hard_link(dir / "pack.asf", dir / "linked.dds");
    expectResult(run({"pack.asf", "old.dds", "linked.dds", "16"}),
                 "the archive 'pack.asf' and the modded texture 'linked.dds' are the same file; "
                 "the archive is unchanged\n",
                 1);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archive);

    fs::create_symlink("old.dds", dir / "loose.dds");
    expectResult(run({"loose.dds", "old.dds", "new.dds", "16"}), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "old.dds"), patched(original, modded, 0, original.size()));
}

// With too little memory the archive can be neither mapped nor read whole: the allocation error
// reaches the handler, which prints its own text for it.
TEST_F(DyeloomRun, ExhaustedMemoryIsReportedAsBadAllocation) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's runtime needs more address space than the limit allows";
#endif
    writeBytes(dir / "pack.asf", ByteBuffer{});
    fs::resize_file(dir / "pack.asf", 300u << 20);
    ProcessOptions options;
    options.addressSpaceLimit = 100u << 20;
    expectResult(patch("16", options), "bad allocation\n", 1);
}

// Nobody reads the output, or there is no output at all: the archive is patched all the same,
// and the status, the only word left, says so. Output written to a closed stream must not end
// the run (SIGPIPE) nor land in a file the run opened in its place.
TEST_F(DyeloomRun, PatchesWithNoOneReadingItsOutput) {
    for (const auto output : {ProcessOptions::Output::ClosedPipe, ProcessOptions::Output::Closed}) {
        writeBytes(dir / "pack.asf", archive);
        ProcessOptions options;
        options.output = output;
        expectResult(patch("16", options), "", 0);
        EXPECT_EQ(readBytes(dir / "pack.asf"), archivePatched);
        EXPECT_FALSE(journalLeft());
    }
}
#endif

} // namespace
} // namespace dyeloom
