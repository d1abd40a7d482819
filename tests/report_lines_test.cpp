// What a run's lines name: the bytes a check would replace, the textures a conflict is with, and
// the archives a pattern takes.
#include "super_journal.hpp"
#include "support/dyeloom_fixture.hpp"

#include <filesystem>

namespace dyeloom {
namespace {

using namespace test;
namespace fs = std::filesystem;

// A check names the span as the bytes it would replace, its last byte included.
TEST_F(DyeloomRun, ACheckOfOneTextureNamesItsFirstAndLastByte) {
    writeBytes(dir / "pack.asf", archive); // the data from byte 64 + 16 to 64 + 300 - 1
    expectResult(run({"--check", "pack.asf", "old.dds", "new.dds", "16"}),
                 "texture data would be replaced: bytes 80 to 363\nnothing was written (check "
                 "only)\n",
                 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
}

// Three textures stored overlapping in a chain, a over b over c, a and c apart. a and b agree
// where they overlap, b and c do not: all three are held back, and each line names a texture
// whose data overlaps its own.
TEST_F(DyeloomRun, EachConflictOfAChainNamesATextureItOverlaps) {
    ByteGen gen(5);
    const ByteBuffer stored = gen.random(800), modded = gen.random(800), other = gen.random(800);
    const auto texture = [&](const ByteBuffer& from, std::size_t at) {
        return concat({ByteBuffer(headerSize, 1),
                       ByteBuffer(from.begin() + static_cast<std::ptrdiff_t>(at),
                                  from.begin() + static_cast<std::ptrdiff_t>(at + 200))});
    };
    fs::create_directories(dir / "orig");
    fs::create_directories(dir / "mod");
    const std::pair<const char*, std::size_t> chain[] = {
        {"a.dds", 100}, {"b.dds", 250}, {"c.dds", 400}};
    for (const auto& [name, at] : chain) {
        writeBytes(dir / "orig" / name, texture(stored, at));
        writeBytes(dir / "mod" / name, texture(name[0] == 'c' ? other : modded, at));
    }
    writeBytes(dir / "pack.asf", stored);
    const std::string neither = " in the archive; neither is written\n";
    expectResult(run({"pack.asf", "orig", "mod", "16"}),
                 "conflict: a.dds: its data overlaps that of b.dds" + neither +
                     "conflict: b.dds: its data overlaps that of c.dds" + neither +
                     "conflict: c.dds: its data overlaps that of b.dds" + neither +
                     "3 textures: 0 replaced, 0 already replaced, 0 not found, 0 skipped, 3 in "
                     "conflict; 'pack.asf' is unchanged\n",
                 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), stored);
}

// A pattern that matches every file of the folder never takes a super-journal an interrupted
// patch left there for an archive, nor a journal.
TEST_F(DyeloomRun, APatternNeverTakesAJournalForAnArchive) {
    for (const char* folder : {"data", "orig", "mod"})
        fs::create_directories(dir / folder);
    writeBytes(dir / "orig" / "t.dds", original);
    writeBytes(dir / "mod" / "t.dds", modded);
    writeBytes(dir / "data" / "a.asf", archive);
    writeBytes(dir / "data" / "b.asf", archive);
    const fs::path super = dir / "data" / "a.asf.dyeloom-super-journal";
    ASSERT_FALSE(createSuperJournal({super.string(), super.string()},
                                    {(dir / "data" / "a.asf.dyeloom-journal").string(),
                                     (dir / "data" / "b.asf.dyeloom-journal").string()},
                                    {1, 2, 3}));
    expectResult(run({"data/*", "orig", "mod", "16"}),
                 "replaced: t.dds in data/a.asf\nreplaced: t.dds in data/b.asf\n1 texture: 1 "
                 "replaced, 0 already replaced, 0 not found, 0 skipped, 0 in conflict; 2 of 2 "
                 "archives patched\n",
                 0);
    for (const char* name : {"a.asf", "b.asf"})
        EXPECT_EQ(readBytes(dir / "data" / name), archivePatched);
    // Spent (no journal it lists is there), it made way for this patch's, which went at its
    // commit.
    EXPECT_FALSE(fs::exists(super));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "data"), {}), 2);
}

} // namespace
} // namespace dyeloom
