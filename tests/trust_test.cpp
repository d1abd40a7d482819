// Whom a journal left beside the archive is trusted from. Whoever can write it decides what the
// next run writes into the archive, so a journal is used only when it is a regular file reached
// without a link, made by the user running the tool, the archive's owner or the superuser, and
// writable by nobody else. The cases run for real as an unprivileged user (the tests run as root
// in CI, and drop privileges in the child that runs Dyeloom).
#include "journal.hpp"
#include "super_journal.hpp"
#include "support/dyeloom_fixture.hpp"

#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace dyeloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr unsigned root = 0;
constexpr unsigned nobody = 65534;
constexpr unsigned someoneElse = 65533;

// What is at the journal's name.
enum class Planted { Journal, LinkToJournal, LinkToDevNull, Fifo, Nothing };

struct TrustCase {
    const char* name;
    Planted planted;
    unsigned journalOwner;
    unsigned journalMode;
    unsigned archiveOwner;
    unsigned archiveMode;
    std::optional<unsigned> runner; // the user running Dyeloom; root when not set
    unsigned folderMode;
    std::string out; // after the forged journal's bytes are trusted, or a refusal's reason
    int status;
    friend void PrintTo(const TrustCase& c, std::ostream* os) { *os << c.name; }
};

class Trust : public DyeloomRun, public ::testing::WithParamInterface<TrustCase> {
protected:
    const std::string journalName = "pack.asf.dyeloom-journal";

    // A journal that passes every check of its contents: it names the archive's identity and
    // size and the bytes around the span, all of which anyone may learn, and holds bytes of
    // the forger's choosing.
    void forgeJournal(const fs::path& at) {
        const ByteBuffer chosen(original.size() - headerSize, 0x41);
        writeJournal(dir / "pack.asf", at, zeros.size() + headerSize, chosen);
    }

    void own(const fs::path& path, unsigned owner, unsigned mode) {
        ASSERT_EQ(lchown(path.c_str(), owner, owner), 0) << path;
        if (!fs::is_symlink(path)) {
            ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
        }
    }
};

TEST_P(Trust, OnlyJournalsNoOneElseCouldHaveWrittenAreUsed) {
    if (geteuid() != root)
        GTEST_SKIP() << "needs root to give files to other users (CI runs as root)";
    const TrustCase& c = GetParam();
    writeBytes(dir / "pack.asf", archive);
    own(dir / "pack.asf", c.archiveOwner, c.archiveMode);
    const fs::path journal = dir / journalName;
    switch (c.planted) {
    case Planted::Journal:
        forgeJournal(journal);
        own(journal, c.journalOwner, c.journalMode);
        break;
    case Planted::LinkToJournal:
        forgeJournal(dir / "elsewhere");
        fs::create_symlink("elsewhere", journal);
        own(journal, c.journalOwner, 0);
        break;
    case Planted::LinkToDevNull:
        fs::create_symlink("/dev/null", journal);
        break;
    case Planted::Fifo:
        ASSERT_EQ(mkfifo(journal.c_str(), 0600), 0);
        break;
    case Planted::Nothing:
        break;
    }
    ASSERT_EQ(chmod(dir.path().c_str(), c.folderMode), 0);
    ProcessOptions options;
    options.user = c.runner;
    const ProcessResult result = patch("16", options);
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);

    const bool refused = c.status != 0 && c.planted != Planted::Nothing;
    const std::string expected =
        refused ? "'" + journalName +
                      "' is where the journal of 'pack.asf' belongs, but it is "
                      "not trusted: " +
                      c.out + "; nothing was changed, and it is kept\n"
                : c.out;
    expectResult(result, expected, c.status);
    const bool trusted = c.status == 0;
    EXPECT_EQ(readBytes(dir / "pack.asf"), trusted
                                               ? patched(archive, ByteBuffer(original.size(), 0x41),
                                                         zeros.size(), original.size())
                                               : archive);
    EXPECT_EQ(fs::symlink_status(journal).type() != fs::file_type::not_found, refused)
        << "a journal that is not used is kept";
}

const std::string forgedBytesUsed =
    "restored bytes 80 to 363 of 'pack.asf' from the journal of an interrupted patch\n"
    "texture data is not found\n";
const std::string anotherUser = "it belongs to another user, neither the one running Dyeloom, "
                                "nor the archive's owner, nor the superuser";
constexpr unsigned shared = 01777; // a folder every user may create files in, as /tmp

// clang-format off
INSTANTIATE_TEST_SUITE_P(Journals, Trust, ::testing::Values(
    // Someone else's journal beside root's archive, which they cannot even read.
    TrustCase{"another_users", Planted::Journal, nobody, 0600, root, 0600, {}, shared, anotherUser, 1},
    TrustCase{"writable_by_others", Planted::Journal, root, 0646, root, 0600, {}, shared,
              "users other than its owner may write to it", 1},
    TrustCase{"writable_by_its_group", Planted::Journal, root, 0660, root, 0600, {}, shared,
              "users other than its owner may write to it", 1},
    TrustCase{"link_to_a_journal", Planted::LinkToJournal, nobody, 0600, root, 0600, {}, shared,
              "it is a symbolic link", 1},
    TrustCase{"link_to_dev_null", Planted::LinkToDevNull, root, 0, root, 0600, {}, shared,
              "it is a symbolic link", 1},
    TrustCase{"fifo", Planted::Fifo, root, 0, root, 0600, {}, shared, "it is not a regular file", 1},
    // The archive's owner, the user running the tool and the superuser may have made it.
    TrustCase{"archive_owners", Planted::Journal, nobody, 0600, nobody, 0600, {}, shared,
              forgedBytesUsed, 0},
    TrustCase{"own_unprivileged", Planted::Journal, nobody, 0600, nobody, 0600, nobody, shared,
              forgedBytesUsed, 0},
    TrustCase{"superusers_unprivileged", Planted::Journal, root, 0644, nobody, 0600, nobody, 0777,
              forgedBytesUsed, 0},
    TrustCase{"third_users_unprivileged", Planted::Journal, someoneElse, 0644, nobody, 0600, nobody,
              shared, anotherUser, 1},
    // Without the rights a patch needs, an unprivileged run changes nothing and says why.
    TrustCase{"folder_not_writable", Planted::Nothing, root, 0, nobody, 0600, nobody, 0755,
              "can't create the journal 'pack.asf.dyeloom-journal': Permission denied; the "
              "archive is unchanged\n", 1},
    TrustCase{"archive_not_writable", Planted::Nothing, root, 0, root, 0644, nobody, shared,
              "can't open 'pack.asf' for writing: Permission denied; the archive is unchanged\n",
              1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The super-journal a journal names is trusted as the journal is: a journal (trusted itself) that
// names one someone else could have written, or a link, restores nothing and keeps both.
TEST_F(Trust, OnlySuperJournalsNoOneElseCouldHaveWrittenAreUsed) {
    if (geteuid() != root)
        GTEST_SKIP() << "needs root to give files to other users (CI runs as root)";
    const std::string superName = "pack.asf.dyeloom-super-journal";
    const fs::path super = dir / superName, journal = dir / journalName;
    const std::pair<const char*, std::string> cases[] = {
        {"owner", anotherUser},
        {"mode", "users other than its owner may write to it"},
        {"link", "it is a symbolic link"}};
    for (const auto& [how, reason] : cases) {
        writeBytes(dir / "pack.asf", archive);
        const ByteBuffer chosen(original.size() - headerSize, 0x41);
        writeJournal(dir / "pack.asf", journal, zeros.size() + headerSize, chosen, superName);
        const fs::path made = how == std::string("link") ? dir / "elsewhere" : super;
        ASSERT_FALSE(createSuperJournal({made.string(), made.string()},
                                        {(fs::canonical(dir.path()) / journalName).string()}));
        if (how == std::string("link"))
            fs::create_symlink("elsewhere", super);
        else
            own(super, how == std::string("owner") ? nobody : root, 0622);
        expectResult(patch(),
                     "'" + superName + "', the super-journal of '" + journalName +
                         "' of 'pack.asf', is not trusted: " + reason +
                         "; nothing was changed, and its journal '" + journalName +
                         "' of an interrupted patch is kept\n",
                     1);
        EXPECT_EQ(readBytes(dir / "pack.asf"), archive);
        EXPECT_TRUE(fs::exists(journal));
        fs::remove(journal);
        fs::remove(super);
        fs::remove(dir / "elsewhere");
    }
}

} // namespace
} // namespace dyeloom
