#include "support/byte_gen.hpp"
#include "support/reference_scan.hpp"
#include "texture_patch.hpp"

#include <gtest/gtest.h>

namespace dyeloom {
namespace {

using test::ByteGen;

TEST(FindTextureOffset, NothingToCompareIsNotFound) {
    const ByteBuffer texture = ByteGen(1).random(24);
    const ByteBuffer archive = test::concat({ByteBuffer(10, 7), texture, ByteBuffer(10, 7)});
    const auto b = static_cast<std::int32_t>(texture.size());
    for (const std::int32_t header : {-5, b, INT32_MAX, INT32_MIN})
        EXPECT_EQ(findTextureOffset(archive, texture, header), std::nullopt) << header;
    EXPECT_EQ(findTextureOffset(archive, ByteBuffer{}, 0), std::nullopt);
    EXPECT_EQ(findTextureOffset(archive, texture, b - 1), MatchOffset{10}); // one byte of data
}

// The search must agree with the plain scan on inputs where near-misses are the rule, for
// every header count from negative to past the texture's end.
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
