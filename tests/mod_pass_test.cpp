// A mod read a pass at a time: every file whole and intact in memory shared by the pass, and no
// pass past its limits but for a lone texture larger than them.
#include "mod_textures.hpp"
#include "search.hpp"
#include "support/byte_gen.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace dyeloom {
namespace {

constexpr std::int32_t headerBytes = 16;

std::uint64_t searchBytesOf(const ModTexture& texture) {
    return MultiSearch::heapPerNeedle(texture.original.size - headerBytes) +
           MultiSearch::heapPerNeedle(texture.modded.size - headerBytes);
}

TEST(ModPass, HoldsEveryFileIntactWithinItsLimits) {
    const test::TempDir dir;
    std::filesystem::create_directories(dir / "orig");
    std::filesystem::create_directories(dir / "mod");
    test::ByteGen gen(7);
    // Sizes around the block's, one larger than a block and one larger than a whole pass.
    const std::size_t blockBytes = 4096;
    const std::size_t sizes[] = {100,  3000, 1000, 4095,  4097, 200,  9000, 64,
                                 2047, 2049, 500,  40000, 300,  3000, 1500, 700};
    std::vector<ByteBuffer> files;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        const std::string name = "t" + std::to_string(10 + i) + ".dds";
        files.push_back(gen.random(sizes[i]));
        test::writeBytes(dir / "orig" / name, files.back());
        files.push_back(gen.random(sizes[i]));
        test::writeBytes(dir / "mod" / name, files.back());
    }
    const ModFolders folders{openTextureFolder((dir / "orig").string()),
                             openTextureFolder((dir / "mod").string())};
    ModListing mod = listMod(folders);
    ASSERT_EQ(mod.textures.size(), std::size(sizes));
    const PassLimits limits{5 * blockBytes + 12 * MultiSearch::heapPerNeedle(0), 5};
    PassMemory memory(blockBytes);
    std::size_t passes = 0;
    for (std::size_t from = 0; from < mod.textures.size(); ++passes) {
        const ModPass pass =
            readPass(mod, from, folders, {{}, std::uint64_t{1} << 30}, headerBytes, limits, memory);
        ASSERT_FALSE(pass.loaded.empty()) << "pass " << passes;
        ASSERT_EQ(pass.next, from + pass.loaded.size()) << "pass " << passes;
        ASSERT_LE(pass.loaded.size(), limits.textures);
        std::uint64_t searchBytes = 0, fileBytes = 0;
        for (std::size_t k = 0; k < pass.loaded.size(); ++k) {
            const std::size_t i = from + k;
            EXPECT_EQ(pass.loaded[k].texture, &mod.textures[i].texture);
            const Bytes original = pass.loaded[k].original, modded = pass.loaded[k].modded;
            EXPECT_TRUE(std::equal(original.begin(), original.end(), files[2 * i].begin(),
                                   files[2 * i].end()))
                << "original of texture " << i;
            EXPECT_TRUE(std::equal(modded.begin(), modded.end(), files[2 * i + 1].begin(),
                                   files[2 * i + 1].end()))
                << "modded file of texture " << i;
            searchBytes += searchBytesOf(mod.textures[i]);
            fileBytes += (original.size() + 63) / 64 * 64 + (modded.size() + 63) / 64 * 64;
        }
        // The memory covers the pass's files, and passes the limits only by a lone texture's.
        EXPECT_LE(fileBytes, memory.heldAfter(0)) << "pass " << passes;
        EXPECT_LE(memory.heldAfter(0), limits.bytes + (pass.loaded.size() == 1 ? fileBytes : 0))
            << "pass " << passes;
        if (pass.loaded.size() > 1) {
            EXPECT_LE(memory.heldAfter(0) + searchBytes, limits.bytes) << "pass " << passes;
        }
        // The pass stops only when the next texture would not fit.
        if (pass.next < mod.textures.size() && pass.loaded.size() < limits.textures) {
            const ModTexture& next = mod.textures[pass.next];
            EXPECT_GT(memory.heldAfter((next.original.size + 63) / 64 * 64 + next.modded.size) +
                          searchBytes + searchBytesOf(next),
                      limits.bytes)
                << "pass " << passes;
        }
        from = pass.next;
    }
    EXPECT_GE(passes, 5U);
}

} // namespace
} // namespace dyeloom
