// Builds the demo's sample files and explains what a run did to them.
//   make_sample generate DIR   writes DIR/sample.asf, DIR/original.dds and DIR/modded.dds
//   make_sample compare A B    says how archive B differs from archive A
#include "dds_like.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

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
    if (command == "compare" && argc == 4)
        return compare(argv[2], argv[3]);
    std::printf("usage: make_sample generate DIR | make_sample compare BEFORE AFTER\n");
    return 2;
}
