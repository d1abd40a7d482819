#include "support/byte_gen.hpp"
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

} // namespace
} // namespace dyeloom
