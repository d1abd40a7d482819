// The journal's format checks, and the refusals of the write path that need no fault injection.
#include "checksum.hpp"
#include "fileio.hpp"
#include "journal.hpp"
#include "support/byte_gen.hpp"
#include "support/temp_dir.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

namespace dyeloom {
namespace {

class FileIo : public ::testing::Test {
protected:
    test::TempDir dir;
    os::StopSignals signals;
    std::string path(const std::string& name) const { return (dir / name).string(); }
};

TEST(Crc32c, MatchesTheStandardCheckValueInAnyPieces) {
    const std::string check = "123456789";
    const Bytes bytes(reinterpret_cast<const std::uint8_t*>(check.data()), check.size());
    EXPECT_EQ(crc32c(bytes), 0xE3069283u);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut)
        EXPECT_EQ(crc32c(bytes.subspan(cut), crc32c(bytes.first(cut))), 0xE3069283u);
}

// A journal is only trusted whole: every way of cutting it short, and any changed byte, must
// read as incomplete, never as something to restore.
TEST_F(FileIo, AJournalIsValidOnlyWhenWhole) {
    const ByteBuffer kept = test::ByteGen(4).random(3000);
    const JournalHeader header{{1, 2}, 10000, 500, kept.size(), 77};
    Journal written;
    ASSERT_FALSE(Journal::create({path("j"), "j"}, header, written));
    ASSERT_FALSE(written.append(Bytes(kept).first(1000)));
    ASSERT_FALSE(written.append(Bytes(kept).subspan(1000)));
    ASSERT_FALSE(written.seal());
    const ByteBuffer whole = test::readBytes(dir / "j");

    const auto stateOf = [&](const ByteBuffer& bytes) {
        test::writeBytes(dir / "k", bytes);
        Journal journal;
        os::FileStatus status;
        Journal::State state{};
        EXPECT_FALSE(Journal::open({path("k"), "k"}, journal, status));
        EXPECT_FALSE(journal.check(state));
        return state;
    };
    EXPECT_EQ(stateOf(whole), Journal::State::Valid);
    for (std::size_t length = 0; length < whole.size(); length += length < 80 ? 1 : 97)
        EXPECT_EQ(stateOf(ByteBuffer(whole.begin(), whole.begin() + length)),
                  Journal::State::Incomplete)
            << length;
    for (const std::size_t at : {20, 40, 60, 64, 2000, 3064, 3067}) {
        ByteBuffer changed = whole;
        changed[at] ^= 1;
        EXPECT_EQ(stateOf(changed), Journal::State::Incomplete) << at;
    }
    // Where a file's length reaches the disk before its data, a crash before the first flush
    // leaves a journal of the right length whose header is zeros.
    ByteBuffer unwritten = whole;
    std::fill_n(unwritten.begin(), 64, 0);
    EXPECT_EQ(stateOf(unwritten), Journal::State::Incomplete);
    ByteBuffer done = whole;
    done[15] = 'D';
    EXPECT_EQ(stateOf(done), Journal::State::Done);
    EXPECT_EQ(stateOf(test::concat({ByteBuffer{'X'}, whole})), Journal::State::Unknown);
}

// Names near the file system's limit get a journal name within it that every later run derives
// again: the name's first bytes, whole characters only, and a hash of all of it.
TEST(JournalName, StaysWithinAFileNameAndTellsNamesApart) {
    EXPECT_EQ(journalNameFor("pack.asf"), "pack.asf.dyeloom-journal");
    std::string japanese;
    for (int i = 0; i < 80; ++i)
        japanese += "\xE3\x83\x86"; // テ, three bytes
    for (const std::string& name : {japanese + ".asf", std::string(255, 'a')}) {
        const std::string journal = journalNameFor(name);
        EXPECT_LE(journal.size(), 255u);
        EXPECT_EQ(journal, journalNameFor(name)) << "found again by the next run";
        EXPECT_EQ(journal.substr(0, 60), name.substr(0, 60));
        std::string other = name;
        other.back() ^= 1;
        EXPECT_NE(journalNameFor(other), journal);
    }
    // The cut falls between characters: what precedes the hash is whole UTF-8.
    const std::string cut = journalNameFor(japanese + ".asf");
    EXPECT_EQ(cut.find('~') % 3, 0u);
}

// Another program changed the span between the search and the write: nothing may be written.
TEST_F(FileIo, WriteRefusesWhenTheSpanNoLongerHoldsTheOriginal) {
    const ByteBuffer before = test::ByteGen(5).random(5000);
    test::writeBytes(dir / "pack.asf", before);
    ByteBuffer stale(before.begin() + 10, before.begin() + 60);
    stale[49] ^= 1;
    try {
        writeArchive(path("pack.asf"), 10, stale, ByteBuffer(50, 0), signals);
        ADD_FAILURE() << "wrote over changed data";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("changed while it was being patched"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_EQ(test::readBytes(dir / "pack.asf"), before);
    EXPECT_FALSE(std::filesystem::exists(dir / "pack.asf.dyeloom-journal"));
}

TEST_F(FileIo, WriteRefusesAnArchiveThatShrank) {
    const ByteBuffer before = test::ByteGen(6).random(100);
    test::writeBytes(dir / "pack.asf", before);
    const ByteBuffer tail(before.begin() + 90, before.end());
    EXPECT_THROW(writeArchive(path("pack.asf"), 95, tail, ByteBuffer(10, 0), signals),
                 std::runtime_error);
    EXPECT_THROW(writeArchive(path("pack.asf"), UINT64_MAX - 2, tail, ByteBuffer(10, 0), signals),
                 std::runtime_error);
    EXPECT_EQ(test::readBytes(dir / "pack.asf"), before);
}

} // namespace
} // namespace dyeloom
