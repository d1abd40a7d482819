// A small game for the tests of a mod installed in every archive of it: three archives and a
// readme, a mod of nine textures (nested, in conflict, installed before, missing), and what a
// pattern install of the mod prints and leaves.
#pragma once

#include "support/dyeloom_fixture.hpp"

#include <filesystem>
#include <map>

namespace dyeloom::test {

class Game : public DyeloomRun {
protected:
    std::map<std::string, std::pair<ByteBuffer, ByteBuffer>> textures; // original, modded
    std::vector<ByteBuffer> before, installed;                         // the three archives
    std::size_t files = 4; // in data/: the archives and a readme

    // A texture whose data is `from`'s data from `at` on, `bytes` of it: a smaller mip level.
    static ByteBuffer nestedIn(const ByteBuffer& from, std::size_t at, std::size_t bytes) {
        return concat(
            {ByteBuffer(headerSize, 7),
             ByteBuffer(from.begin() + static_cast<std::ptrdiff_t>(headerSize + at),
                        from.begin() + static_cast<std::ptrdiff_t>(headerSize + at + bytes))});
    }

    void SetUp() override {
        std::uint8_t seed = 60;
        for (const char* name :
             {"A.dds", "B.dds", "C.dds", "D.dds", "big.dds", "big2.dds", "gone.dds"})
            textures[name] = {ddsLike(300, seed), ddsLike(300, seed + 1)}, seed += 2;
        const auto& [big, bigModded] = textures.at("big.dds");
        // mip.dds lies inside big.dds and its modded data agrees; bad.dds lies inside big2.dds
        // and its modded data does not.
        textures["mip.dds"] = {nestedIn(big, 100, 120), nestedIn(bigModded, 100, 120)};
        textures["bad.dds"] = {nestedIn(textures.at("big2.dds").first, 50, 100), ddsLike(116, 90)};
        for (const auto& [name, pair] : textures) {
            std::filesystem::create_directories(dir / "orig");
            std::filesystem::create_directories(dir / "mod");
            writeBytes(dir / "orig" / name, pair.first);
            writeBytes(dir / "mod" / name, pair.second);
        }
        const auto& t = textures;
        // A in two archives; D installed before; B at the very end of its archive.
        before = {concat({zeros, t.at("A.dds").first, zeros, t.at("big.dds").first, zeros,
                          t.at("big2.dds").first, zeros, t.at("B.dds").first}),
                  concat({zeros, t.at("C.dds").first, zeros, t.at("A.dds").first, zeros}),
                  concat({zeros, t.at("D.dds").second, zeros})};
        const auto put = [&](const ByteBuffer& archive, const char* name, std::size_t at) {
            return patched(archive, t.at(name).second, at, t.at(name).first.size());
        };
        installed = {put(put(put(before[0], "A.dds", 64), "big.dds", 428), "B.dds", 1156),
                     put(put(before[1], "C.dds", 64), "A.dds", 428), before[2]};
        std::filesystem::create_directories(dir / "data");
        for (std::size_t i = 0; i < before.size(); ++i)
            writeBytes(archivePath(i), before[i]);
        writeBytes(dir / "data" / "readme.txt", ddsLike(100, 3));
#ifndef _WIN32
        // A second name of an archive is the same archive, searched and patched once.
        std::filesystem::create_symlink("data1.asf", dir / "data" / "zlink.asf");
        ++files;
#endif
    }

    std::filesystem::path archivePath(std::size_t i) const {
        return dir / "data" / ("data" + std::to_string(i) + ".asf");
    }
    void expectArchives(const std::vector<ByteBuffer>& expected) const {
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(readBytes(archivePath(i)), expected[i]) << i;
    }
    // Nothing but what SetUp made: no journal, no super-journal.
    std::size_t filesInData() const {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(dir / "data"), {}));
    }
};

// The lines of the install of the mod in every archive, up to its summary's last part.
inline const std::string installLines =
    "replaced: A.dds in data/data0.asf\nreplaced: A.dds in data/data1.asf\n"
    "replaced: B.dds in data/data0.asf\nreplaced: C.dds in data/data1.asf\n"
    "already replaced: D.dds in data/data2.asf\n"
    "conflict: bad.dds in data/data0.asf: its data overlaps that of big2.dds there; neither is "
    "written\nreplaced: big.dds in data/data0.asf\n"
    "conflict: big2.dds in data/data0.asf: its data overlaps that of bad.dds there; neither is "
    "written\nnot found: gone.dds\nreplaced: mip.dds in data/data0.asf\n"
    "9 textures: 5 replaced, 1 already replaced, 1 not found, 0 skipped, 2 in conflict; ";

} // namespace dyeloom::test
