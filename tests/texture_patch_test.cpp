#include "support/byte_gen.hpp"
#include "support/reference_scan.hpp"
#include "texture_patch.hpp"

#include <gtest/gtest.h>
#include <numeric>

namespace dyeloom {
namespace {

using test::ByteGen;

ByteBuffer iota(std::size_t size, std::uint8_t first) {
    ByteBuffer bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

ByteBuffer concat(std::initializer_list<ByteBuffer> parts) {
    ByteBuffer all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A texture whose bytes occur nowhere in the filler used around it.
const ByteBuffer texture = iota(24, 100);
const ByteBuffer filler = ByteBuffer(10, 7);

TEST(FindTextureOffset, FindsTextureAfterLeadingBytesForEveryHeaderSize) {
    const ByteBuffer archive = concat({filler, texture, ByteBuffer(5, 7)});
    for (std::int32_t h = 0; h < static_cast<std::int32_t>(texture.size()); ++h)
        EXPECT_EQ(findTextureOffset(archive, texture, h), MatchOffset{10}) << "h=" << h;
}

TEST(FindTextureOffset, IgnoresTheHeaderOnlyFromHeaderBytesOn) {
    ByteBuffer stored = texture;
    stored[0] = 1;
    stored[3] = 2; // the archive's copy has its own header
    const ByteBuffer archive = concat({filler, stored, filler});
    EXPECT_EQ(findTextureOffset(archive, texture, 4), MatchOffset{10});
    EXPECT_EQ(findTextureOffset(archive, texture, 3), std::nullopt);
    EXPECT_EQ(findTextureOffset(archive, texture, 0), std::nullopt);
}

TEST(FindTextureOffset, NothingToCompareIsNotFound) {
    const ByteBuffer archive = concat({filler, texture, filler});
    const auto b = static_cast<std::int32_t>(texture.size());
    EXPECT_EQ(findTextureOffset(archive, texture, -5), std::nullopt);
    EXPECT_EQ(findTextureOffset(archive, texture, b), std::nullopt);
    EXPECT_EQ(findTextureOffset(archive, texture, INT32_MAX), std::nullopt);
    EXPECT_EQ(findTextureOffset(archive, texture, INT32_MIN), std::nullopt);
    EXPECT_EQ(findTextureOffset(archive, ByteBuffer{}, 0), std::nullopt);
    EXPECT_EQ(findTextureOffset(archive, texture, b - 1), MatchOffset{10}); // one byte of data
}

TEST(SpliceTexture, ReplacesExactlyTheOriginalsDataSpan) {
    const ByteBuffer modded = iota(24, 200);
    const TextureSplice splice = spliceTexture(texture, modded, 4, 10);
    EXPECT_EQ(splice.archiveOffset, 14u);
    EXPECT_EQ(ByteBuffer(splice.replaced.begin(), splice.replaced.end()),
              ByteBuffer(texture.begin() + 4, texture.end()));
    EXPECT_EQ(ByteBuffer(splice.replacement.begin(), splice.replacement.end()),
              ByteBuffer(modded.begin() + 4, modded.end()));
}

TEST(SpliceTexture, UsesOnlyTheOriginalsLengthOfALongerModdedTexture) {
    const ByteBuffer modded = iota(40, 200);
    const TextureSplice splice = spliceTexture(texture, modded, 0, 0);
    EXPECT_EQ(splice.replacement.size(), texture.size());
    EXPECT_EQ(splice.replacement.data(), modded.data());
}

// The search must agree with the plain scan on inputs where near-misses are the rule.
TEST(FindTextureOffset, AgreesWithTheReferenceScanOnShapedInputs) {
    ByteGen gen(20261206);
    for (int round = 0; round < 20000; ++round) {
        ByteBuffer original = gen.shaped(gen.below(40));
        ByteBuffer archive = gen.shaped(gen.below(200));
        const int plants = static_cast<int>(gen.below(4));
        for (int i = 0; i < plants && !archive.empty(); ++i)
            gen.plant(archive, original, gen.below(archive.size()), gen.below(2) == 0);
        const auto h = static_cast<std::int32_t>(gen.below(original.size() + 3)) - 1;
        ASSERT_EQ(findTextureOffset(archive, original, h),
                  test::referenceOffset(archive, original, h))
            << "round " << round;
    }
}

} // namespace
} // namespace dyeloom
