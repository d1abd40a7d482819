// An archive of just over 4 GiB with the texture past the 4 GiB mark: every size and offset on
// the way must be 64-bit. The file is sparse, so it costs little disk.
#include "support/dyeloom_fixture.hpp"

#include <fstream>

namespace dyeloom {
namespace {

using namespace test;

void writeAt(const std::filesystem::path& path, std::uint64_t offset, const ByteBuffer& bytes) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file) << "cannot write " << path;
}

ByteBuffer readAt(const std::filesystem::path& path, std::uint64_t offset, std::size_t size) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    ByteBuffer bytes(size);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    return bytes;
}

TEST_F(DyeloomRun, PatchesATexturePastFourGibibytes) {
    const ByteBuffer texture = ddsLike(256 << 10, 3);
    const ByteBuffer moddedTexture = ddsLike(256 << 10, 4);
    writeBytes(dir / "old.dds", texture);
    writeBytes(dir / "new.dds", moddedTexture);

    constexpr std::uint64_t at = (std::uint64_t{4} << 30) + 12345;
    const std::uint64_t size = at + texture.size() + 777;
    const auto archive = dir / "pack.asf";
    writeBytes(archive, ByteBuffer{});
    std::filesystem::resize_file(archive, size);
    writeAt(archive, at, texture);

    expectResult(patch(), replacedLine, 0);

    EXPECT_EQ(std::filesystem::file_size(archive), size);
    const ByteBuffer around = readAt(archive, at - 8, texture.size() + 16);
    ByteBuffer expected(8, 0);
    expected.insert(expected.end(), texture.begin(), texture.begin() + headerSize);
    expected.insert(expected.end(), moddedTexture.begin() + headerSize, moddedTexture.end());
    expected.resize(expected.size() + 8, 0);
    EXPECT_EQ(around, expected);
}

} // namespace
} // namespace dyeloom
