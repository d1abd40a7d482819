// Builds the demo's sample files and explains what a run did to them.
//   make_sample generate DIR   writes DIR/sample.asf, DIR/original.dds and DIR/modded.dds
//   make_sample game DIR       writes a small game: DIR/data/data0.asf to data2.asf, its textures
//                              as extracted in DIR/extracted and a mod of some of them in DIR/mymod
//   make_sample compare A B    says how archive B differs from archive A
#include "dds_like.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using dyeloom::tools::ByteBuffer;
namespace dds = dyeloom::tools;

bool save(const std::string& path, const ByteBuffer& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool load(const std::string& path, ByteBuffer& bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return static_cast<bool>(in) || in.eof();
}

int generate(const std::string& dir) {
    std::mt19937_64 rng(2026);
    const ByteBuffer original = dds::ddsTexture(64 * 1024, 1, rng);
    ByteBuffer modded = original;
    for (std::size_t i = dds::ddsHeaderBytes; i < modded.size(); ++i)
        modded[i] = static_cast<std::uint8_t>(255 - modded[i]); // the "recoloured" texture

    ByteBuffer archive = {'A', 'S', 'F', 0};
    dds::padTo(archive, dds::entryAlignment);
    for (std::uint32_t entry = 0; entry < 6; ++entry) {
        const ByteBuffer other = dds::ddsTexture(16 * 1024 << (entry % 3), 10 + entry, rng);
        archive.insert(archive.end(), other.begin(), other.end());
        dds::padTo(archive, dds::entryAlignment);
    }
    // The archive stores the texture under a header of its own: only the data matches.
    const std::size_t storedAt = archive.size();
    const ByteBuffer storedHeader = dds::ddsHeader(256, 64, 99);
    archive.insert(archive.end(), storedHeader.begin(), storedHeader.end());
    archive.insert(archive.end(), original.begin() + dds::ddsHeaderBytes, original.end());
    dds::padTo(archive, dds::entryAlignment);
    const ByteBuffer last = dds::ddsTexture(4 * 1024, 20, rng);
    archive.insert(archive.end(), last.begin(), last.end());

    if (!save(dir + "/sample.asf", archive) || !save(dir + "/original.dds", original) ||
        !save(dir + "/modded.dds", modded)) {
        std::printf("make_sample: cannot write into %s\n", dir.c_str());
        return 1;
    }
    std::printf("sample.asf:   %zu bytes, 8 entries; the original texture's data is stored at "
                "offsets %zu to %zu\n",
                archive.size(), storedAt + dds::ddsHeaderBytes, storedAt + original.size() - 1);
    std::printf("original.dds: %zu bytes (128-byte header + data)\n", original.size());
    std::printf("modded.dds:   %zu bytes, same header, recoloured data\n", modded.size());
    return 0;
}

// The "recoloured" texture: the same header, every byte of data inverted.
ByteBuffer recoloured(ByteBuffer texture) {
    for (std::size_t i = dds::ddsHeaderBytes; i < texture.size(); ++i)
        texture[i] = static_cast<std::uint8_t>(255 - texture[i]);
    return texture;
}

// Three archives; hero.dds in two of them, its second mip level stored as a texture of its own
// (hero_mip1.dds, inside hero.dds's data), and a texture the mod does not change.
int generateGame(const std::string& dir) {
    std::mt19937_64 rng(2027);
    const ByteBuffer hero = dds::ddsTexture(40 * 1024, 1, rng);
    const ByteBuffer mip =
        dds::concat(dds::ddsHeader(64, 64, 2),
                    ByteBuffer(hero.begin() + dds::ddsHeaderBytes + 32 * 1024, hero.end()));
    const ByteBuffer rock = dds::ddsTexture(24 * 1024, 3, rng);
    const ByteBuffer sky = dds::ddsTexture(16 * 1024, 4, rng);
    const ByteBuffer logo = dds::ddsTexture(8 * 1024, 5, rng);
    const std::vector<std::vector<const ByteBuffer*>> archives = {
        {&hero, &rock}, {&sky, &logo}, {&hero}};
    bool saved = true;
    for (std::size_t i = 0; i < archives.size(); ++i) {
        ByteBuffer archive = {'A', 'S', 'F', 0};
        for (const ByteBuffer* texture : archives[i]) {
            dds::padTo(archive, dds::entryAlignment);
            archive.insert(archive.end(), texture->begin(), texture->end());
        }
        saved = saved && save(dir + "/data/data" + std::to_string(i) + ".asf", archive);
    }
    const std::vector<std::pair<const char*, const ByteBuffer*>> textures = {
        {"hero.dds", &hero},
        {"hero_mip1.dds", &mip},
        {"rock.dds", &rock},
        {"sky.dds", &sky},
        {"logo.dds", &logo}};
    for (const auto& [name, texture] : textures) {
        saved = saved && save(dir + "/extracted/" + name, *texture);
        if (texture != &logo)
            saved = saved && save(dir + "/mymod/" + name, recoloured(*texture));
    }
    if (!saved) {
        std::printf("make_sample: cannot write into %s\n", dir.c_str());
        return 1;
    }
    std::printf("data/data0.asf to data2.asf: three archives of a game; hero.dds is stored in two "
                "of them, and its second mip level is extracted as hero_mip1.dds\n"
                "extracted/: the game's 5 textures; mymod/: a mod recolouring 4 of them\n");
    return 0;
}

int compare(const std::string& beforePath, const std::string& afterPath) {
    ByteBuffer before, after;
    if (!load(beforePath, before) || !load(afterPath, after)) {
        std::printf("make_sample: cannot read the archives\n");
        return 1;
    }
    std::printf("archive length: %zu bytes before, %zu after\n", before.size(), after.size());
    std::size_t first = 0, last = 0, count = 0;
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
        if (before[i] != after[i]) {
            if (count++ == 0)
                first = i;
            last = i;
        }
    }
    if (count == 0)
        std::printf("no byte changed\n");
    else
        std::printf("%zu bytes changed, all between offsets %zu and %zu; every other byte is as "
                    "it was\n",
                    count, first, last);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "generate" && argc == 3)
        return generate(argv[2]);
    if (command == "game" && argc == 3)
        return generateGame(argv[2]);
    if (command == "compare" && argc == 4)
        return compare(argv[2], argv[3]);
    std::printf("usage: make_sample generate DIR | make_sample compare BEFORE AFTER\n");
    return 2;
}
