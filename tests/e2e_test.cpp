// Runs the built Dyeloom binary on files in a scratch folder and checks what it prints, its exit
// status and every byte of the archive it leaves behind.
#include "support/dyeloom_fixture.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <numeric>
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

TEST_F(DyeloomRun, WrongArgumentCountPrintsUsageAndTouchesNothing) {
    const ByteBuffer archive = concat({zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);
    expectResult(run({}), usageLine, 1);
    expectResult(run({"pack.asf", "old.dds", "new.dds"}), usageLine, 1);
    expectResult(run({"pack.asf", "old.dds", "new.dds", "16", "extra"}), usageLine, 1);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
}

TEST_F(DyeloomRun, ReplacesTheTexturesDataAndNothingElse) {
    const ByteBuffer archive = concat({zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);
    expectResult(patch(), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), patched(archive, modded, zeros.size(), original.size()));
}

TEST_F(DyeloomRun, LeavesTheArchivesOwnHeaderBytesAsTheyWere) {
    ByteBuffer stored = original;
    std::fill(stored.begin(), stored.begin() + headerSize, 0xEE);
    const ByteBuffer archive = concat({zeros, stored, zeros});
    writeBytes(dir / "pack.asf", archive);
    expectResult(patch(), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), patched(archive, modded, zeros.size(), original.size()));
    // With no header skipped the stored copy no longer matches.
    expectResult(run({"pack.asf", "new.dds", "old.dds", "0"}), notFoundLine, 0);
}

TEST_F(DyeloomRun, FindsTexturesAtTheVeryStartAndEndOfTheArchive) {
    const ByteBuffer atStart = concat({original, zeros});
    writeBytes(dir / "pack.asf", atStart);
    expectResult(patch(), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), patched(atStart, modded, 0, original.size()));

    const ByteBuffer atEnd = concat({zeros, original});
    writeBytes(dir / "pack.asf", atEnd);
    expectResult(patch(), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), patched(atEnd, modded, zeros.size(), original.size()));

    writeBytes(dir / "pack.asf", original);
    expectResult(patch(), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), patched(original, modded, 0, original.size()));
}

TEST_F(DyeloomRun, ReplacesTheFirstOfTwoCopiesPerRun) {
    const ByteBuffer archive = concat({zeros, original, zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);
    const ByteBuffer once = patched(archive, modded, zeros.size(), original.size());
    expectResult(patch(), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), once);
    expectResult(patch(), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"),
              patched(once, modded, 2 * zeros.size() + original.size(), original.size()));
    expectResult(patch(), notFoundLine, 0);
}

TEST_F(DyeloomRun, ReportsNotFoundWithStatusZero) {
    const ByteBuffer archive = concat({zeros, zeros});
    writeBytes(dir / "pack.asf", archive);
    expectResult(patch(), notFoundLine, 0);
    // Nothing to compare: a negative header count, or one that covers the whole texture.
    writeBytes(dir / "pack.asf", concat({zeros, original, zeros}));
    expectResult(patch("-5"), notFoundLine, 0);
    expectResult(patch("300"), notFoundLine, 0);
    // An archive shorter than the texture cannot hold it.
    writeBytes(dir / "pack.asf", ByteBuffer(original.begin(), original.end() - 1));
    expectResult(patch(), notFoundLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), ByteBuffer(original.begin(), original.end() - 1));
}

TEST_F(DyeloomRun, ReadsTheHeaderCountLikeTheStandardConversion) {
    ByteBuffer stored = original;
    stored[0] = 'X'; // differs only in the first header byte
    const ByteBuffer archive = concat({zeros, stored, zeros});
    for (const std::string header : {" 16", "+16", "16abc", "\t1"}) {
        writeBytes(dir / "pack.asf", archive);
        expectResult(patch(header), replacedLine, 0);
    }
    writeBytes(dir / "pack.asf", archive);
    expectResult(patch("0x10"), notFoundLine, 0); // read as 0: the header must match too
    expectResult(patch("abc"), "invalid stoi argument\n", 1);
    expectResult(patch("99999999999"), "stoi argument out of range\n", 1);
    expectResult(patch("-99999999999"), "stoi argument out of range\n", 1);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
}

TEST_F(DyeloomRun, MissingFilesAreReportedInLoadOrder) {
    expectResult(run({"x.asf", "missing.dds", "new.dds", "abc"}),
                 "can't open 'x.asf'\nfatal error\n", 1);
    const ByteBuffer archive = concat({zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);
    expectResult(run({"pack.asf", "gone.dds", "new.dds", "16"}),
                 "can't open 'gone.dds'\nfatal error\n", 1);
    expectResult(run({"pack.asf", "old.dds", "sub/gone.dds", "abc"}),
                 "can't open 'sub/gone.dds'\nfatal error\n", 1);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
}

TEST_F(DyeloomRun, EmptyFilesLoadAndAreNotFound) {
    writeBytes(dir / "pack.asf", ByteBuffer{});
    expectResult(patch(), notFoundLine, 0);
    writeBytes(dir / "pack.asf", concat({zeros, original}));
    writeBytes(dir / "empty.dds", ByteBuffer{});
    expectResult(run({"pack.asf", "empty.dds", "new.dds", "0"}), notFoundLine, 0);
}

TEST_F(DyeloomRun, RefusesAModdedTextureShorterThanTheOriginal) {
    const ByteBuffer archive = concat({zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);
    writeBytes(dir / "short.dds", ByteBuffer(modded.begin(), modded.end() - 1));
    expectResult(run({"pack.asf", "old.dds", "short.dds", "16"}),
                 "modded texture 'short.dds' is shorter (299 bytes) than the original texture "
                 "'old.dds' (300 bytes); the archive is unchanged\n",
                 1);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
}

TEST_F(DyeloomRun, UsesOnlyTheOriginalsLengthOfALongerModdedTexture) {
    const ByteBuffer archive = concat({zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);
    const ByteBuffer longer = concat({modded, ByteBuffer(50, 0xAB)});
    writeBytes(dir / "new.dds", longer);
    expectResult(patch(), replacedLine, 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), patched(archive, longer, zeros.size(), original.size()));
}

TEST_F(DyeloomRun, DirectoriesAreRefusedThroughTheHandler) {
    fs::create_directory(dir / "folder");
    writeBytes(dir / "pack.asf", concat({zeros, original}));
    const auto result = run({"pack.asf", "folder", "new.dds", "16"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out == consoleText("file_size: Is a directory: \"folder\"\n") ||
                result.out == consoleText("can't open 'folder'\nfatal error\n"))
        << result.out;
}

std::string utf8(std::u8string_view text) {
    return {reinterpret_cast<const char*>(text.data()), text.size()};
}

// Modders' folders are named in every script. On Windows the narrow command line would pass
// them through the system's code page, which holds only one script besides Latin.
TEST_F(DyeloomRun, OpensPathsWrittenInAnyScript) {
    const std::u8string folder = u8"Текстуры";
    const std::u8string archiveName = u8"Текстуры/paquet_é.asf";
    const std::u8string originalName = u8"古いテクスチャ.dds";
    const std::u8string moddedName = u8"nouvelle_ñ_текстура.dds";
    const ByteBuffer archive = concat({zeros, original, zeros});
    fs::create_directory(dir.path() / fs::path(folder));
    writeBytes(dir.path() / fs::path(archiveName), archive);
    writeBytes(dir.path() / fs::path(originalName), original);
    writeBytes(dir.path() / fs::path(moddedName), modded);

    expectResult(run({utf8(archiveName), utf8(originalName), utf8(moddedName), "16"}), replacedLine,
                 0);
    EXPECT_EQ(readBytes(dir.path() / fs::path(archiveName)),
              patched(archive, modded, zeros.size(), original.size()));

    // Messages name the file as typed.
    const std::u8string missing = u8"Текстуры/ない.asf";
    expectResult(run({utf8(missing), utf8(originalName), utf8(moddedName), "16"}),
                 "can't open '" + utf8(missing) + "'\nfatal error\n", 1);
}

#ifndef _WIN32
TEST_F(DyeloomRun, PatchesInPlaceKeepingLinksAndPermissions) {
    const ByteBuffer archive = concat({zeros, original, zeros});
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
    const ByteBuffer expected = patched(archive, modded, zeros.size(), original.size());
    EXPECT_EQ(readBytes(dir / "hard.asf"), expected);
    EXPECT_EQ(readBytes(dir / "pack.asf"), expected);
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
    expectResult(run({"pack.asf", "old.dds", "new.dds", "16"}, options), "bad allocation\n", 1);
}

TEST_F(DyeloomRun, ReadOnlyArchiveIsReportedAndLeftAlone) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root may write to read-only files";
    const ByteBuffer archive = concat({zeros, original, zeros});
    writeBytes(dir / "pack.asf", archive);
    fs::permissions(dir / "pack.asf", fs::perms(0444));
    const auto result = patch();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "can't open 'pack.asf' for writing: Permission denied; the archive is "
                          "unchanged\n");
    EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
}
#endif

} // namespace
} // namespace dyeloom
