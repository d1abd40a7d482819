// The journal's format checks, and the refusals of the write path that need no fault injection.
#include "archive_pattern.hpp"
#include "archive_writer.hpp"
#include "checksum.hpp"
#include "digest.hpp"
#include "file_view.hpp"
#include "journal.hpp"
#include "super_journal.hpp"
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

// XXH3-128's published values for the empty text and "abc"; the same value for 100 bytes
// however they arrive.
TEST(Digest, IsXxh3Of128BitsInAnyPieces) {
    const std::string abc = "abc";
    EXPECT_EQ(Digest::of({}), (Digest128{0x6001C324468D497Full, 0x99AA06D3014798D8ull}));
    EXPECT_EQ(Digest::of(Bytes(reinterpret_cast<const std::uint8_t*>(abc.data()), 3)),
              (Digest128{0x78AF5F94892F3950ull, 0x06B05AB6733A6185ull}));
    ByteBuffer hundred(100);
    for (std::size_t i = 0; i < hundred.size(); ++i)
        hundred[i] = static_cast<std::uint8_t>(i);
    const Digest128 whole = Digest::of(hundred);
    test::ByteGen gen(3);
    for (std::size_t cuts = 1; cuts < 40; ++cuts) {
        Digest pieces;
        for (std::size_t at = 0; at < hundred.size();) {
            const std::size_t piece = std::min(hundred.size() - at, gen.below(cuts * 3) + 1);
            pieces.add(Bytes(hundred).subspan(at, piece));
            at += piece;
        }
        const Digest copy = pieces;
        EXPECT_EQ(copy.value(), whole) << cuts;
    }
}

// The pattern's matcher against the obvious recursive one, on every name of up to four bytes over
// an alphabet with a two-byte character, and every pattern of up to four symbols.
bool naiveMatch(const std::string& name, const std::string& pattern) {
    if (pattern.empty())
        return name.empty();
    if (pattern[0] == '*')
        for (std::size_t skip = 0;; skip += name[skip] == '\xC3' ? 2 : 1) {
            if (naiveMatch(name.substr(skip), pattern.substr(1)))
                return true;
            if (skip >= name.size())
                return false;
        }
    if (name.empty())
        return false;
    const std::size_t first = name[0] == '\xC3' ? 2 : 1;
    return (pattern[0] == '?' || pattern.compare(0, first, name, 0, first) == 0) &&
           naiveMatch(name.substr(first), pattern.substr(pattern[0] == '?' ? 1 : first));
}

std::vector<std::string> wordsOf(const std::vector<std::string>& symbols, std::size_t most) {
    std::vector<std::string> words = {""};
    for (std::size_t from = 0, length = 0; length < most; ++length) {
        const std::size_t to = words.size();
        for (std::size_t i = from; i < to; ++i)
            for (const std::string& symbol : symbols)
                words.push_back(words[i] + symbol);
        from = to;
    }
    return words;
}

TEST(ArchivePattern, MatchesAsTheObviousMatcherDoes) {
    const auto names = wordsOf({"a", "b", "\xC3\xA9"}, 4);
    for (const std::string& pattern : wordsOf({"a", "\xC3\xA9", "*", "?"}, 4))
        for (const std::string& name : names)
            EXPECT_EQ(matchesPattern(name, pattern), naiveMatch(name, pattern))
                << "'" << name << "' '" << pattern << "'";
    EXPECT_TRUE(matchesPattern("data0.asf", "data?.asf"));
    EXPECT_FALSE(matchesPattern("data0.asf.dyeloom-journal", "*.asf"));
}

TEST(SuperJournal, IsNamedByNameBesideItsJournalsAndByPathElsewhere) {
    const std::string super = "/game/data/a.asf.dyeloom-super-journal";
    for (const std::string journal :
         {"/game/data/b.asf.dyeloom-journal", "/other/c.asf.dyeloom-journal"}) {
        const std::string reference = superJournalReference(journal, super);
        EXPECT_EQ(reference, journal[1] == 'g' ? "a.asf.dyeloom-super-journal" : super);
        EXPECT_EQ(superJournalPath(journal, reference), super);
    }
    EXPECT_EQ(superJournalBeside({"/g/a.asf.dyeloom-journal", "d/a.asf.dyeloom-journal"}).shown,
              "d/a.asf.dyeloom-super-journal");
}

// A journal is only trusted whole: every way of cutting it short, and any changed byte, must
// read as incomplete, never as something to restore.
TEST_F(FileIo, AJournalIsValidOnlyWhenWhole) {
    const ByteBuffer kept = test::ByteGen(4).random(3000);
    const JournalHeader header{
        {1, 2}, 10000, {{500, 1200, 77}, {1700, 1, 78}, {5000, 1799, 79}}, {}};
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
    for (const std::size_t at : {20, 40, 60, 64, 100, 2000, 3136, 3139}) {
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

// What a journal restores: its spans' bytes put back where they were, as far as `count` goes,
// from the one-span journals of earlier releases too.
TEST_F(FileIo, AJournalRestoresItsSpansInOrder) {
    test::ByteGen gen(7);
    const ByteBuffer archive = gen.random(6000), kept = gen.random(300);
    const JournalHeader header{{1, 2}, 6000, {{100, 50}, {1000, 200}, {5989, 10}, {5999, 1}}, {}};
    ASSERT_EQ(header.length(), 261u);
    const auto restored = [&](const JournalLocation& where, std::uint64_t count) {
        test::writeBytes(dir / "pack.asf", archive);
        os::File file;
        Journal journal;
        os::FileStatus status;
        Journal::State state{};
        EXPECT_FALSE(os::File::open(path("pack.asf"), os::File::Access::Update, file));
        EXPECT_FALSE(Journal::open(where, journal, status));
        EXPECT_FALSE(journal.check(state));
        EXPECT_EQ(state, Journal::State::Valid);
        EXPECT_FALSE(journal.restore(file, count));
        EXPECT_FALSE(file.close());
        return test::readBytes(dir / "pack.asf");
    };
    Journal written;
    ASSERT_FALSE(Journal::create({path("j"), "j"}, header, written));
    ASSERT_FALSE(written.append(Bytes(kept).first(261)));
    ASSERT_FALSE(written.seal());
    for (const std::uint64_t count : {0, 49, 50, 149, 250, 260, 261}) {
        ByteBuffer expected = archive;
        std::uint64_t from = 0;
        for (const JournalSpan& span : header.spans)
            for (std::uint64_t i = 0; i < span.length; ++i, ++from)
                if (from < count)
                    expected[span.offset + i] = kept[from];
        EXPECT_EQ(restored({path("j"), "j"}, count), expected) << count;
    }
    // Version 1: the header holds the one span and its surroundings; its bytes follow at 64. A
    // run finds it beside the archive and restores it.
    test::writeBytes(dir / "pack.asf", archive);
    std::uint32_t surroundings = 0;
    {
        os::File file;
        ASSERT_FALSE(os::File::open(path("pack.asf"), os::File::Access::Read, file));
        const JournalSpan span{200, 40};
        ASSERT_FALSE(surroundingsOf(file, archive.size(), std::span(&span, 1), 0, surroundings));
    }
    ByteBuffer old(64 + 40 + 4, 0);
    std::copy_n("DYELOOM-JOURNALA\x01", 17, old.begin());
    const auto put = [&](std::size_t at, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            old[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(36, archive.size(), 8);
    put(44, 200, 8);
    put(52, 40, 8);
    put(60, surroundings, 4);
    std::copy_n(kept.begin(), 40, old.begin() + 64);
    put(104, crc32c(Bytes(old).subspan(16, 64 - 16 + 40)), 4);
    test::writeBytes(dir / "pack.asf.dyeloom-journal", old);
    EXPECT_EQ(recoverArchive(path("pack.asf"), signals, [](const std::string&) {}).outcome,
              Recovery::Outcome::Restored);
    ByteBuffer expected = archive;
    std::copy_n(kept.begin(), 40, expected.begin() + 200);
    EXPECT_EQ(test::readBytes(dir / "pack.asf"), expected);
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
        const ByteBuffer zeros(50, 0);
        const SpanPatch spans[] = {{0, Bytes(before).first(5), Bytes(zeros).first(5)},
                                   {10, stale, zeros}};
        writeArchive(path("pack.asf"), spans, signals);
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
    const ByteBuffer tail(before.begin() + 90, before.end()), zeros(10, 0);
    for (const std::uint64_t offset : {std::uint64_t{95}, UINT64_MAX - 2}) {
        const SpanPatch spans[] = {{0, Bytes(before).first(1), Bytes(zeros).first(1)},
                                   {offset, tail, zeros}};
        EXPECT_THROW(writeArchive(path("pack.asf"), spans, signals), std::runtime_error);
    }
    EXPECT_EQ(test::readBytes(dir / "pack.asf"), before);
}

} // namespace
} // namespace dyeloom
