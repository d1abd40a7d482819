// A mod is a folder someone else made: its names, links, special files and files that change or
// vanish while the run uses them must never forge a line of the report, bring a file from outside
// the mod into the archive, or leave the archive holding bytes no texture ever had. Permission
// cases run for real as an unprivileged user (the tests run as root in CI and drop privileges in
// the child that runs Dyeloom).
#include "support/dyeloom_fixture.hpp"

#include <fcntl.h>
#include <fstream>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace dyeloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr unsigned nobody = 65534;

class HostileMod : public DyeloomRun {
protected:
    struct Stored {
        std::string name;
        ByteBuffer original, modded;
        std::size_t at = 0; // where its data lies in the archive
    };
    std::vector<Stored> stored;
    ByteBuffer before; // the archive as written

    static void put(const fs::path& path, const ByteBuffer& bytes) {
        fs::create_directories(path.parent_path());
        writeBytes(path, bytes);
    }

    // A texture stored in the archive, with its original and modded files below both folders.
    void store(const std::string& name) {
        const auto seed = static_cast<std::uint8_t>(stored.size() * 2 + 100);
        stored.push_back({name, ddsLike(300, seed), ddsLike(300, seed + 1)});
        put(dir / "orig" / name, stored.back().original);
        put(dir / "mod" / name, stored.back().modded);
    }

    void writeArchive() {
        before = zeros;
        for (Stored& texture : stored) {
            texture.at = before.size() + headerSize;
            before = concat({before, texture.original, zeros});
        }
        writeBytes(dir / "pack.asf", before);
    }

    // The archive with the textures named installed.
    ByteBuffer installed(const std::vector<std::string>& names) const {
        ByteBuffer bytes = before;
        for (const Stored& texture : stored)
            if (std::find(names.begin(), names.end(), texture.name) != names.end())
                bytes = patched(bytes, texture.modded, texture.at - headerSize, 300);
        return bytes;
    }

    ProcessResult runMod(const ProcessOptions& options = {}) {
        return run({"pack.asf", "orig", "mod", "16"}, options);
    }

    static std::string summary(std::size_t textures, std::size_t replaced, std::size_t skipped,
                               const std::string& extra = "") {
        return std::to_string(textures) + " textures: " + std::to_string(replaced) +
               " replaced, 0 already replaced, 0 not found, " + std::to_string(skipped) +
               " skipped, 0 in conflict" + extra + "; 'pack.asf' is " +
               (replaced > 0 ? "patched\n" : "unchanged\n");
    }

    // Gives every file of the test to `user`, so that a run as that user may patch.
    void giveTo(unsigned user) {
        ASSERT_EQ(lchown(dir.path().c_str(), user, user), 0);
        for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
            ASSERT_EQ(lchown(entry.path().c_str(), user, user), 0) << entry.path();
    }
};

// One mod holding every kind of hostile entry. Names print escaped, one line a texture; links are
// followed only inside their folder; devices, FIFOs and sockets are skipped without being opened
// (opening some devices does something); a texture that would change nothing writes nothing.
TEST_F(HostileMod, EntriesAreShownSafelyNeverFollowedOutNorOpenedUnlessRegular) {
    if (geteuid() != 0)
        GTEST_SKIP() << "making a device node needs root (CI runs as root)";
    const std::pair<std::string, std::string> names[] = {
        {"a\nreplaced: FORGED.dds", "a\\nreplaced: FORGED.dds"},
        {"b\r9 textures: 9 replaced.dds", "b\\r9 textures: 9 replaced.dds"},
        {"c\x1b[2J\x1b]0;title\x07.dds", "c\\x1B[2J\\x1B]0;title\\x07.dds"},
        {"d\b\x7f\t.dds", "d\\x08\\x7F\\t.dds"},
        {"e\xc2\x9b"
         "31m.dds",
         "e\\xC2\\x9B31m.dds"},
        {"f\xff\xfe.dds", "f\\xFF\\xFE.dds"},
        {"g\\.dds", "g\\\\.dds"}};
    for (const auto& name : names)
        store(name.first);
    for (const char* name : {"private.dds", "public.dds", "out_original.dds", "inside.dds",
                             "roundabout.dds", "via/folder.dds", "zero.dds", "dangling.dds",
                             "device.dds", "fifo.dds", "socket.dds", "same.dds"})
        store(name);
    stored.back().modded = stored.back().original;
    put(dir / "mod" / "same.dds", stored.back().original);
    writeArchive();
    // Outside the mod: a file only its owner may read, in a folder only its owner may enter.
    put(dir / "secret" / "private.dds", stored[7].modded);
    ASSERT_EQ(chmod((dir / "secret" / "private.dds").c_str(), 0600), 0);
    ASSERT_EQ(chmod((dir / "secret").c_str(), 0700), 0);
    const auto relink = [&](const fs::path& at, const fs::path& target) {
        fs::remove(at);
        fs::create_symlink(target, at);
    };
    relink(dir / "mod" / "private.dds", "../secret/private.dds");
    put(dir / "public.dds", stored[8].modded);
    relink(dir / "mod" / "public.dds", dir / "public.dds");
    put(dir / "out.dds", stored[9].original);
    relink(dir / "orig" / "out_original.dds", "../out.dds");
    // Links whose targets, resolved, lie inside the folder, one of them by way of outside.
    put(dir / "mod" / "store" / "inside.dds", stored[10].modded);
    relink(dir / "mod" / "inside.dds", "store/inside.dds");
    put(dir / "mod" / "store" / "roundabout.dds", stored[11].modded);
    relink(dir / "mod" / "roundabout.dds", "../mod/store/./roundabout.dds");
    // A folder on the way that leads out: the file looked up through it is outside.
    fs::rename(dir / "orig" / "via", dir / "elsewhere");
    fs::create_directory_symlink("../elsewhere", dir / "orig" / "via");
    relink(dir / "mod" / "zero.dds", "/dev/zero");
    relink(dir / "mod" / "dangling.dds", "nowhere.dds");
    for (const char* name : {"device.dds", "fifo.dds", "socket.dds"})
        fs::remove(dir / "mod" / name);
    ASSERT_EQ(mknod((dir / "mod" / "device.dds").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    ASSERT_EQ(mkfifo((dir / "mod" / "fifo.dds").c_str(), 0600), 0);
    const int unixSocket = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "mod" / "socket.dds").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(bind(unixSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    // Lines in the byte order of the names they are about.
    std::map<std::string, std::string> lines;
    std::vector<std::string> installs = {"inside.dds", "roundabout.dds"};
    for (const auto& [name, shown] : names) {
        lines[name] = "replaced: " + shown;
        installs.push_back(name);
    }
    const std::string outside = " is a symbolic link to a file outside '";
    lines["dangling.dds"] = "skipped: dangling.dds: can't open 'mod/dangling.dds': No such file or "
                            "directory";
    lines["device.dds"] = "skipped: device.dds: 'mod/device.dds' is a device";
    lines["fifo.dds"] = "skipped: fifo.dds: 'mod/fifo.dds' is a FIFO";
    lines["inside.dds"] = "replaced: inside.dds";
    lines["out_original.dds"] =
        "skipped: out_original.dds: 'orig/out_original.dds'" + outside + "orig'";
    lines["private.dds"] = "skipped: private.dds: 'mod/private.dds'" + outside + "mod'";
    lines["public.dds"] = "skipped: public.dds: 'mod/public.dds'" + outside + "mod'";
    lines["roundabout.dds"] = "replaced: roundabout.dds";
    lines["same.dds"] = "already replaced: same.dds";
    lines["socket.dds"] = "skipped: socket.dds: 'mod/socket.dds' is a socket";
    for (const char* name : {"store/inside.dds", "store/roundabout.dds"})
        lines[name] = "skipped: " + std::string(name) + ": no original of that name in 'orig'";
    lines["via/folder.dds"] =
        "skipped: via/folder.dds: 'orig/via/folder.dds' leads to a file outside 'orig'";
    lines["zero.dds"] = "skipped: zero.dds: 'mod/zero.dds'" + outside + "mod'";
    std::string expected;
    for (const auto& line : lines)
        expected += line.second + "\n";
    expected += "21 textures: 9 replaced, 1 already replaced, 0 not found, 11 skipped, 0 in "
                "conflict; 'pack.asf' is patched\n";
    const fs::path log = dir / "opens.log", trace = dir / "trace.log";
    expectResult(
        runMod(withFaults({{"DYELOOM_OPENS", log.string()}, {"DYELOOM_TRACE", trace.string()}})),
        expected, 0);
    close(unixSocket);
    EXPECT_EQ(readBytes(dir / "pack.asf"), installed(installs));
    std::ifstream opens(log), steps(trace);
    for (std::string line; std::getline(opens, line);)
        for (const char* name : {"device.dds", "fifo.dds", "socket.dds"})
            EXPECT_EQ(line.find("mod/" + std::string(name)), std::string::npos) << line;
    int writes = 0; // a write a span: none for the texture that would change nothing
    for (std::string line; std::getline(steps, line);)
        writes += line == "write archive" ? 1 : 0;
    EXPECT_EQ(writes, 9);
}

TEST_F(HostileMod, FoldersThatCannotBeListedAreSaidSo) {
    for (const char* name : {"a.dds", "locked/b.dds", "locked/deeper/c.dds", "z.dds"})
        store(name);
    store("unreadable.dds");
    writeArchive();
    if (geteuid() != 0)
        GTEST_SKIP() << "running as another user needs root (CI runs as root)";
    giveTo(nobody);
    ASSERT_EQ(chmod((dir / "mod" / "locked").c_str(), 0), 0);
    ASSERT_EQ(chmod((dir / "orig" / "unreadable.dds").c_str(), 0), 0);
    ProcessOptions asNobody;
    asNobody.user = nobody;
    expectResult(runMod(asNobody),
                 "replaced: a.dds\nskipped: locked/: can't list it: Permission denied\n"
                 "skipped: unreadable.dds: can't open 'orig/unreadable.dds': Permission denied\n"
                 "replaced: z.dds\n" +
                     summary(3, 2, 1, "; 1 folder could not be listed"),
                 0);
    EXPECT_EQ(readBytes(dir / "pack.asf"), installed({"a.dds", "z.dds"}));

    // Either folder itself: nothing can be installed, and the run says which.
    for (const char* folder : {"mod", "orig"}) {
        writeBytes(dir / "pack.asf", before);
        ASSERT_EQ(chmod((dir / folder).c_str(), 0), 0);
        expectResult(runMod(asNobody),
                     "can't list the folder '" + std::string(folder) +
                         "': Permission denied; the archive is unchanged\n",
                     1);
        ASSERT_EQ(chmod((dir / folder).c_str(), 0755), 0);
        EXPECT_EQ(readBytes(dir / "pack.asf"), before);
    }
    ASSERT_EQ(chmod((dir / "mod" / "locked").c_str(), 0755), 0);
}

// A download or sync tool removes files while the mod is listed: they are simply not there.
TEST_F(HostileMod, EntriesRemovedWhileListedAreNotThere) {
    for (const char* name : {"a.dds", "gone.dds", "sub/b.dds", "vanishing/c.dds"})
        store(name);
    writeArchive();
    const std::pair<const char*, std::string> cases[] = {
        {"mod/gone.dds", "replaced: a.dds\nreplaced: sub/b.dds\nreplaced: vanishing/c.dds\n"},
        {"mod/vanishing", "replaced: a.dds\nreplaced: gone.dds\nreplaced: sub/b.dds\n"}};
    for (const auto& [removed, lines] : cases) {
        writeBytes(dir / "pack.asf", before);
        for (const Stored& texture : stored)
            put(dir / "mod" / texture.name, texture.modded);
        expectResult(runMod(withFaults({{"DYELOOM_FAULT", "remove-while-listing"},
                                        {"DYELOOM_FAULT_PATH", removed}})),
                     lines + summary(3, 3, 0), 0);
        EXPECT_FALSE(fs::exists(dir / removed));
    }
}

// A subfolder the system fails to list (not one the mod keeps from the user) says nothing of the
// mod: the run fails, and nothing is written, rather than install the mod without it.
TEST_F(HostileMod, ASystemFailureListingASubfolderFailsTheRun) {
    for (const char* name : {"a.dds", "sub/b.dds"})
        store(name);
    writeArchive();
    for (const auto& [fault, reason] :
         {std::pair<std::string, std::string>{"list-emfile", "Too many open files"},
          {"list-eio", "Input/output error"}}) {
        SCOPED_TRACE(fault);
        writeBytes(dir / "pack.asf", before);
        expectResult(
            runMod(withFaults({{"DYELOOM_FAULT", fault}, {"DYELOOM_FAULT_PATH", "mod/sub"}})),
            "can't list the folder 'mod/sub': " + reason + "; the archive is unchanged\n", 1);
        EXPECT_EQ(readBytes(dir / "pack.asf"), before);
    }
}

// No texture keeps a file open or mapped: a mod of many textures installs under an open-file
// limit a handful above what one texture needs, and only the archive is mapped.
TEST_F(HostileMod, NoFileStaysOpenOrMappedPerTexture) {
    for (int i = 0; i < 120; ++i)
        store("t" + std::to_string(1000 + i) + ".dds");
    writeArchive();
    const fs::path opens = dir / "opens.log";
    ProcessOptions options = withFaults({{"DYELOOM_OPENS", opens.string()}});
    options.openFilesLimit = 16;
    const ProcessResult result = runMod(options);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find(summary(120, 120, 0)), std::string::npos) << result.out;
    std::vector<std::string> all;
    for (const Stored& texture : stored)
        all.push_back(texture.name);
    EXPECT_EQ(readBytes(dir / "pack.asf"), installed(all));
    std::ifstream log(opens);
    for (std::string line; std::getline(log, line);)
        if (line.rfind("map ", 0) == 0) {
            EXPECT_EQ(line, "map pack.asf");
        }
}

// With few files allowed open, a run fails somewhere and must say what failed: never a texture
// skipped as unreadable, never a journal said to be kept, never a changed archive.
TEST_F(HostileMod, RunningOutOfFilesFailsTheRunAndSaysSo) {
    for (const char* name : {"a.dds", "b.dds"})
        store(name);
    writeArchive();
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"pack.asf", "orig/a.dds", "mod/a.dds", "16"}, replacedLine},
        {{"pack.asf", "orig", "mod", "16"}, summary(2, 2, 0)}};
    for (const auto& [args, done] : runs) {
        bool failed = false;
        for (std::size_t limit = 4; limit <= 32; ++limit) {
            writeBytes(dir / "pack.asf", before);
            ProcessOptions options;
            options.openFilesLimit = limit;
            const ProcessResult result = run(args, options);
            if (result.status == 127)
                continue; // too few even to load the program's libraries
            EXPECT_EQ(result.out.find("skipped:"), std::string::npos) << limit << result.out;
            EXPECT_EQ(result.out.find("kept"), std::string::npos) << limit << result.out;
            if (result.status == 0) {
                EXPECT_NE(result.out.find(done), std::string::npos) << result.out;
                break;
            }
            failed = true;
            EXPECT_EQ(readBytes(dir / "pack.asf"), before) << limit << ": " << result.out;
            // (Under the sanitizers, their runtime may stop the run before it can say anything.)
            if (args[1] == "orig" && !result.out.empty()) {
                EXPECT_NE(result.out.find("Too many open files"), std::string::npos) << result.out;
            }
        }
        EXPECT_TRUE(failed) << "no limit was low enough to fail";
        EXPECT_NE(readBytes(dir / "pack.asf"), before) << "no limit was high enough to patch";
    }
}

// Another program changes a texture after the run has read it: what is written is what was read,
// or nothing, and the message names the texture.
TEST_F(HostileMod, ATextureChangedDuringTheRunIsNeverWrittenInPart) {
    for (int i = 0; i < 60; ++i)
        store("t" + std::to_string(10 + i) + ".dds");
    writeArchive();
    const std::string changed = "can't read 'mod/t18.dds': it changed while it was in use";
    const std::tuple<const char*, const char*, const char*, std::string> cases[] = {
        {"truncate-after-read", "128", "mod/t18.dds", changed + "; the archive is unchanged\n"},
        {"truncate-after-read", "", "mod/t18.dds", changed + "; the archive is unchanged\n"},
        {"change-after-read", "", "mod/t18.dds",
         changed + "; the original bytes were put back and the archive is unchanged\n"},
        // An original changed once its bytes are in hand changes nothing: they are what is
        // looked for and checked against the archive.
        {"truncate-after-read", "", "orig/t18.dds", ""}};
    for (const auto& [fault, bytes, path, message] : cases) {
        writeBytes(dir / "pack.asf", before);
        put(dir / "orig" / "t18.dds", stored[8].original);
        put(dir / "mod" / "t18.dds", stored[8].modded);
        const ProcessResult result = runMod(withFaults({{"DYELOOM_FAULT", fault},
                                                        {"DYELOOM_FAULT_BYTES", bytes},
                                                        {"DYELOOM_FAULT_PATH", path}}));
        if (message.empty()) {
            EXPECT_EQ(result.status, 0) << result.out;
            EXPECT_EQ(readBytes(dir / "pack.asf")[stored[8].at], stored[8].modded[headerSize]);
        } else {
            expectResult(result, message, 1);
            EXPECT_EQ(readBytes(dir / "pack.asf"), before) << fault << " " << bytes;
        }
        EXPECT_FALSE(journalLeft());
    }
    // A modded texture already in place, whose original is not found, is found by what its one
    // reading gave; changed afterwards, it is not written, and the archive keeps its bytes.
    const ByteBuffer installedOne = installed({"t18.dds"});
    writeBytes(dir / "pack.asf", installedOne);
    put(dir / "orig" / "t18.dds", stored[8].original);
    put(dir / "mod" / "t18.dds", stored[8].modded);
    const ProcessResult result = runMod(withFaults(
        {{"DYELOOM_FAULT", "change-after-read"}, {"DYELOOM_FAULT_PATH", "mod/t18.dds"}}));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("already replaced: t18.dds\n"), std::string::npos) << result.out;
    EXPECT_EQ(readBytes(dir / "pack.asf")[stored[8].at], stored[8].modded[headerSize]);
}

// The archive truncated under the search of a large mod: a message, never SIGBUS.
TEST_F(HostileMod, AnArchiveTruncatedDuringTheSearchEndsTheRunCleanly) {
    for (int i = 0; i < 60; ++i)
        store("t" + std::to_string(10 + i) + ".dds");
    writeArchive();
    expectResult(runMod(withFaults({{"DYELOOM_FAULT", "truncate-after-map"},
                                    {"DYELOOM_FAULT_PATH", "pack.asf"}})),
                 "can't read 'pack.asf': part of it could not be read while it was in use "
                 "(another program truncated it, or a read failed); the archive is unchanged\n",
                 1);
}

// A path longer than the system takes is that texture's or that folder's trouble alone.
TEST_F(HostileMod, PathsTooLongToOpenAreSkippedAlone) {
    store("a.dds");
    const std::string name = std::string(40, 'n') + ".dds";
    store(name);
    writeArchive();
    // The folders' own paths fit; the long name below the originals' does not.
    std::string longOriginals = "orig";
    while (longOriginals.size() < 4064)
        longOriginals = "./" + longOriginals;
    expectResult(run({"pack.asf", longOriginals, "mod", "16"}),
                 "replaced: a.dds\nskipped: " + name + ": can't open '" + longOriginals + "/" +
                     name + "': File name too long\n" + summary(2, 1, 1),
                 0);

    // A subfolder of the mod deeper than a path may be long: made and removed a level at a time.
    writeBytes(dir / "pack.asf", before);
    const std::string level(200, 'd');
    int folder = open((dir / "mod").c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 24 && folder >= 0; ++depth) {
        ASSERT_EQ(mkdirat(folder, level.c_str(), 0755), 0);
        const int inner = openat(folder, level.c_str(), O_RDONLY | O_DIRECTORY);
        close(folder);
        folder = inner;
    }
    ASSERT_GE(folder, 0);
    close(folder);
    const ProcessResult deep = runMod();
    EXPECT_EQ(deep.status, 0);
    EXPECT_EQ(deep.out.rfind("replaced: a.dds\n", 0), 0u) << deep.out;
    EXPECT_NE(deep.out.find("/: can't list it: File name too long\n"), std::string::npos);
    const fs::path top = dir / "mod" / level;
    while (fs::exists(top / level)) { // each round lifts the folder below the top one level up
        fs::rename(top / level, dir / "lifted");
        fs::remove(top);
        fs::rename(dir / "lifted", top);
    }
}

} // namespace
} // namespace dyeloom
