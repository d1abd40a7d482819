#include "fileio.hpp"
#include "support/byte_gen.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <stdexcept>

namespace dyeloom {
namespace {

class FileIo : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string path(const std::string& name) const { return (dir / name).string(); }
};

TEST_F(FileIo, ReadAndViewGiveTheFilesBytes) {
    const ByteBuffer bytes = test::ByteGen(3).random(100000);
    test::writeBytes(dir / "a.bin", bytes);
    EXPECT_EQ(readFile(path("a.bin")), bytes);
    const FileView view = viewFile(path("a.bin"), ReadPattern::Sparse);
    const FileView whole = viewFile(path("a.bin"), ReadPattern::Whole);
    EXPECT_EQ(ByteBuffer(whole.bytes().begin(), whole.bytes().end()), bytes);
    EXPECT_EQ(ByteBuffer(view.bytes().begin(), view.bytes().end()), bytes);
}

// Another program changed the span between the search and the write: nothing may be written.
TEST_F(FileIo, WriteRefusesWhenTheSpanNoLongerHoldsTheOriginal) {
    const ByteBuffer before = test::ByteGen(5).random(5000);
    test::writeBytes(dir / "pack.asf", before);
    ByteBuffer stale(before.begin() + 10, before.begin() + 60);
    stale[49] ^= 1;
    try {
        writeArchive(path("pack.asf"), 10, stale, ByteBuffer(50, 0));
        ADD_FAILURE() << "wrote over changed data";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("changed while it was being patched"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_EQ(test::readBytes(dir / "pack.asf"), before);
}

TEST_F(FileIo, WriteRefusesAnArchiveThatShrank) {
    const ByteBuffer before = test::ByteGen(6).random(100);
    test::writeBytes(dir / "pack.asf", before);
    const ByteBuffer tail(before.begin() + 90, before.end());
    EXPECT_THROW(writeArchive(path("pack.asf"), 95, tail, ByteBuffer(10, 0)), std::runtime_error);
    EXPECT_THROW(writeArchive(path("pack.asf"), UINT64_MAX - 2, tail, ByteBuffer(10, 0)),
                 std::runtime_error);
    EXPECT_EQ(test::readBytes(dir / "pack.asf"), before);
}

} // namespace
} // namespace dyeloom
