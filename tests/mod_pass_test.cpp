// A mod read a pass at a time: every file whole and intact in memory shared by the pass, and no
// pass past its limits but for a lone texture larger than them.
#include "mod_textures.hpp"
#include "search.hpp"
#include "support/byte_gen.hpp"
#include "support/temp_dir.hpp"
#include "texture_patch.hpp"

#include <gtest/gtest.h>
#include <numeric>

namespace dyeloom {
namespace {

constexpr std::int32_t headerBytes = 16;
constexpr std::size_t blockBytes = 4096;

std::size_t rounded(std::size_t bytes) {
    return (bytes + 63) / 64 * 64;
}

// A mod of textures of sizes around the block's, one larger than a block and one larger than a
// whole pass; one texture's modded data is its original's.
class PassesOfAMod : public ::testing::Test {
protected:
    static constexpr std::size_t sizes[] = {100,  3000, 1000, 4095,  4097, 200,  9000, 64,
                                            2047, 2049, 500,  40000, 300,  3000, 1500, 700};
    static constexpr std::size_t sameAsOriginal = 5;

    void SetUp() override {
        std::filesystem::create_directories(dir / "orig");
        std::filesystem::create_directories(dir / "mod");
        test::ByteGen gen(7);
        for (std::size_t i = 0; i < std::size(sizes); ++i) {
            const std::string name = std::to_string(10 + i) + ".dds";
            originals.push_back(gen.random(sizes[i]));
            modded.push_back(i == sameAsOriginal ? originals.back() : gen.random(sizes[i]));
            modded.back()[0] ^= i == sameAsOriginal ? 1 : 0; // headers may differ
            test::writeBytes(dir / "orig" / name, originals.back());
            test::writeBytes(dir / "mod" / name, modded.back());
        }
    }

    // Reads the mod in passes of `kind`, checking each, and returns which textures they held.
    std::vector<std::size_t> readPasses(ModListing& mod, PassKind kind) {
        std::vector<std::size_t> held;
        for (std::size_t from = 0; from < mod.textures.size();) {
            const ModPass pass = readPass(mod, from, folders, {{}, std::uint64_t{1} << 30},
                                          headerBytes, kind, limits, memory);
            if (pass.loaded.empty())
                break;
            ++passes;
            std::uint64_t searchBytes = 0, fileBytes = 0;
            for (const LoadedTexture& loaded : pass.loaded) {
                const std::size_t i = std::stoul(loaded.texture->name) - 10; // "10.dds" on
                held.push_back(i);
                const bool originalPass = kind == PassKind::Originals;
                const Bytes file = originalPass ? loaded.original : loaded.modded;
                const ByteBuffer& expected = originalPass ? originals[i] : modded[i];
                EXPECT_TRUE(std::equal(file.begin(), file.end(), expected.begin(), expected.end()))
                    << "texture " << i;
                searchBytes += MultiSearch::heapPerNeedle(file.size() - headerBytes);
                fileBytes += rounded(file.size());
            }
            // The memory covers the pass's files, and passes the limits only by a lone file's.
            EXPECT_LE(fileBytes, memory.heldAfter(0));
            EXPECT_LE(memory.heldAfter(0),
                      limits.bytes + (pass.loaded.size() == 1 ? fileBytes : 0));
            if (pass.loaded.size() > 1) {
                EXPECT_LE(memory.heldAfter(0) + searchBytes, limits.bytes);
            }
            from = pass.next;
        }
        return held;
    }

    test::TempDir dir;
    std::vector<ByteBuffer> originals, modded;
    ModFolders folders;
    const PassLimits limits{5 * blockBytes + 6 * MultiSearch::heapPerNeedle(0), 5};
    PassMemory memory{blockBytes};
    std::size_t passes = 0;
};

TEST_F(PassesOfAMod, HoldsEveryFileIntactWithinItsLimits) {
    folders = {openTextureFolder((dir / "orig").string()),
               openTextureFolder((dir / "mod").string())};
    ModListing mod = listMod(folders);
    ASSERT_EQ(mod.textures.size(), std::size(sizes));
    std::vector<std::size_t> all(std::size(sizes));
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(readPasses(mod, PassKind::Originals), all);
    EXPECT_GE(passes, 5U);
    // Each modded file was read through for its digest and compared with its original.
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(mod.textures[i].moddedDigest, Digest::of(textureData(modded[i], headerBytes)));
        EXPECT_EQ(mod.textures[i].lookForModded, i != sameAsOriginal) << "texture " << i;
        mod.textures[i].texture.outcome = i % 3 == 0 ? Outcome::Replaced : Outcome::NotFound;
    }
    // Only the modded data of the textures whose original was not found is read again.
    std::vector<std::size_t> left;
    std::copy_if(all.begin(), all.end(), std::back_inserter(left),
                 [](std::size_t i) { return i % 3 != 0 && i != sameAsOriginal; });
    EXPECT_EQ(readPasses(mod, PassKind::Modded), left);
}

} // namespace
} // namespace dyeloom
