// Writes a benchmark data set into a folder: archive.asf, original.dds and modded.dds.
//   make_bench_data KIND SIZE_MIB DIR
// KIND:
//   compressed   an archive of DDS entries as games ship them: DXT1 and DXT5 block-compressed
//                textures and some uncompressed ones, each with its mip chain, behind a 32-byte
//                entry record and padded to 2 KiB; the target is a 1024x1024 DXT1 texture
//                (about 700 KB) near the end. Blocks of flat areas repeat, others are noisy,
//                as a block encoder makes them; flat colours come from a palette shared by all
//                textures, so the same blocks occur across the archive.
//   transparent  uncompressed 32-bit textures of opaque shapes on transparent (zero) ground,
//                each row with margins of its own; the target is 512x512 with mips (1.4 MB).
//   twovalued    masks stored a byte a pixel (0x00 or 0xFF, in runs); the target is 100 KB.
//   adversarial  zeros, then a texture whose data is 1 MiB of zeros and 16 other bytes; the
//                modded texture has the same shape, so patching back and forth stays hard.
// Files are written in pieces, so the generator needs little memory at any size.
#include "../tools/dds_like.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace dds = dyeloom::tools;
using dds::ByteBuffer;

class Output {
public:
    explicit Output(const std::string& path) : file_(std::fopen(path.c_str(), "wb")), path_(path) {
        if (file_ == nullptr)
            die();
    }
    ~Output() {
        if (file_ != nullptr && std::fclose(file_) != 0)
            die();
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void write(const ByteBuffer& bytes) {
        if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
            die();
        written_ += bytes.size();
    }
    void pad(std::size_t alignment) {
        write(ByteBuffer((alignment - written_ % alignment) % alignment, 0));
    }
    [[nodiscard]] std::size_t written() const { return written_; }

private:
    [[noreturn]] void die() const {
        std::perror(path_.c_str());
        std::exit(1);
    }
    std::FILE* file_;
    std::string path_;
    std::size_t written_ = 0;
};

using Rng = std::mt19937_64;

bool chance(Rng& rng, unsigned percent) {
    return rng() % 100 < percent;
}

void put16(ByteBuffer& into, std::uint16_t value) {
    into.push_back(static_cast<std::uint8_t>(value));
    into.push_back(static_cast<std::uint8_t>(value >> 8));
}

// Colours of flat areas (RGB565), shared by every texture: black, white, greys, sky, grass...
constexpr std::uint16_t palette[] = {0x0000, 0xFFFF, 0x8410, 0x4208, 0xC618, 0x5CDF,
                                     0x3666, 0xA145, 0xF800, 0x001F, 0x07E0, 0xFFE0};

// DXT1 blocks of a w x h image, region by region: a region of 4x4 blocks is flat (every block
// the same, one palette colour, all indices 0) or noisy (each block its own).
void appendDxt1(ByteBuffer& into, std::size_t w, std::size_t h, Rng& rng) {
    const std::size_t bw = std::max<std::size_t>(1, w / 4), bh = std::max<std::size_t>(1, h / 4);
    std::vector<int> flatColour((bw / 4 + 1) * (bh / 4 + 1));
    for (int& colour : flatColour)
        colour = chance(rng, 35) ? static_cast<int>(rng() % std::size(palette)) : -1;
    for (std::size_t by = 0; by < bh; ++by)
        for (std::size_t bx = 0; bx < bw; ++bx) {
            const int flat = flatColour[(by / 4) * (bw / 4 + 1) + bx / 4];
            if (flat >= 0) {
                put16(into, palette[flat]);
                put16(into, palette[flat]);
                into.insert(into.end(), 4, 0);
                continue;
            }
            const auto c0 = static_cast<std::uint16_t>(rng() | 0x8000);
            put16(into, c0);
            put16(into, static_cast<std::uint16_t>(c0 - 1 - rng() % 0x2000));
            dds::appendRandom(into, 4, rng);
        }
}

// DXT5: each block has an alpha block (opaque where the colour is flat) before its colours.
void appendDxt5(ByteBuffer& into, std::size_t w, std::size_t h, Rng& rng) {
    ByteBuffer colours;
    appendDxt1(colours, w, h, rng);
    for (std::size_t at = 0; at < colours.size(); at += 8) {
        const bool flat = std::all_of(colours.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                      colours.begin() + static_cast<std::ptrdiff_t>(at + 8),
                                      [](std::uint8_t b) { return b == 0; });
        if (flat) {
            into.insert(into.end(), {255, 255, 0, 0, 0, 0, 0, 0});
        } else {
            into.push_back(static_cast<std::uint8_t>(128 + rng() % 128));
            into.push_back(static_cast<std::uint8_t>(rng() % 128));
            dds::appendRandom(into, 6, rng);
        }
        into.insert(into.end(), colours.begin() + static_cast<std::ptrdiff_t>(at),
                    colours.begin() + static_cast<std::ptrdiff_t>(at + 8));
    }
}

// 32-bit pixels: an opaque shape (noisy colours) on transparent ground, row margins varying.
void appendRgba(ByteBuffer& into, std::size_t w, std::size_t h, Rng& rng) {
    const double cx = static_cast<double>(w) * (0.4 + (rng() % 20) / 100.0);
    const double rx = static_cast<double>(w) * (0.25 + (rng() % 20) / 100.0);
    const double cy = static_cast<double>(h) / 2, ry = static_cast<double>(h) * 0.45;
    for (std::size_t y = 0; y < h; ++y) {
        const double dy = (static_cast<double>(y) - cy) / ry;
        const double half = dy * dy < 1 ? rx * std::sqrt(1 - dy * dy) : -1;
        for (std::size_t x = 0; x < w; ++x) {
            if (std::abs(static_cast<double>(x) - cx) > half) {
                into.insert(into.end(), 4, 0);
                continue;
            }
            dds::appendRandom(into, 3, rng);
            into.push_back(255);
        }
    }
}

using Encoder = void (*)(ByteBuffer&, std::size_t, std::size_t, Rng&);

// A texture's data: every mip level from w x h down to 1 x 1.
ByteBuffer textureData(Encoder encode, std::size_t w, std::size_t h, Rng& rng) {
    ByteBuffer data;
    for (; w >= 1 && h >= 1; w /= 2, h /= 2) {
        encode(data, w, h, rng);
        if (w == 1 && h == 1)
            break;
        w = std::max<std::size_t>(w, 2);
        h = std::max<std::size_t>(h, 2);
    }
    return data;
}

// A mask stored a byte a pixel: runs of 0x00 and 0xFF.
ByteBuffer maskData(std::size_t size, Rng& rng) {
    ByteBuffer data(size);
    std::uint8_t value = 0;
    for (auto& byte : data)
        byte = value = chance(rng, 33) ? static_cast<std::uint8_t>(value ^ 0xFF) : value;
    return data;
}

void writeTexture(const std::string& path, const ByteBuffer& header, const ByteBuffer& data) {
    Output out(path);
    out.write(header);
    out.write(data);
}

// The archive's record in front of each entry: a tag, the entry's number and its size.
ByteBuffer entryRecord(std::uint32_t number, std::size_t size) {
    ByteBuffer record(32, 0);
    const std::uint32_t fields[] = {0x59544E45 /* "ENTY" */, number,
                                    static_cast<std::uint32_t>(size)};
    for (std::size_t i = 0; i < std::size(fields); ++i)
        for (std::size_t b = 0; b < 4; ++b)
            record[i * 4 + b] = static_cast<std::uint8_t>(fields[i] >> (8 * b));
    return record;
}

// Fills the archive with entries up to 97% of `size`, then stores the target's data under a
// header of its own, then a little padding.
template <typename MakeEntry>
void writeArchive(const std::string& dir, std::size_t size, const ByteBuffer& targetData,
                  MakeEntry makeEntry) {
    Output archive(dir + "/archive.asf");
    for (std::uint32_t number = 0; archive.written() < size / 100 * 97; ++number) {
        const ByteBuffer entry = makeEntry(number);
        archive.write(entryRecord(number, entry.size()));
        archive.write(entry);
        archive.pad(dds::entryAlignment);
    }
    archive.write(entryRecord(0xFFFF, targetData.size()));
    archive.write(dds::ddsHeader(1, 1, 77));
    archive.write(targetData);
    archive.pad(dds::entryAlignment);
    archive.write(ByteBuffer(4096, 0));
}

template <typename MakeData, typename MakeEntry>
void textureSet(const std::string& dir, std::size_t size, MakeData makeData, MakeEntry makeEntry) {
    Rng rng(512);
    const ByteBuffer data = makeData(rng);
    writeTexture(dir + "/original.dds", dds::ddsHeader(1024, 1024, 1), data);
    writeTexture(dir + "/modded.dds", dds::ddsHeader(1024, 1024, 1), makeData(rng));
    writeArchive(dir, size, data, [&](std::uint32_t number) { return makeEntry(number, rng); });
}

std::size_t side(Rng& rng, std::size_t smallest, int steps) {
    return smallest << (rng() % static_cast<unsigned>(steps));
}

void compressed(std::size_t size, const std::string& dir) {
    textureSet(
        dir, size, [](Rng& rng) { return textureData(appendDxt1, 1024, 1024, rng); },
        [](std::uint32_t number, Rng& rng) {
            const std::size_t w = side(rng, 64, 5), h = side(rng, 64, 5);
            const Encoder encode = number % 7 == 6   ? appendRgba
                                   : number % 3 == 2 ? appendDxt5
                                                     : appendDxt1;
            return dds::concat(dds::ddsHeader(static_cast<std::uint32_t>(w),
                                              static_cast<std::uint32_t>(h), number),
                               textureData(encode, w, h, rng));
        });
}

void transparent(std::size_t size, const std::string& dir) {
    textureSet(
        dir, size, [](Rng& rng) { return textureData(appendRgba, 512, 512, rng); },
        [](std::uint32_t number, Rng& rng) {
            const std::size_t w = side(rng, 64, 4), h = side(rng, 64, 4);
            return dds::concat(dds::ddsHeader(static_cast<std::uint32_t>(w),
                                              static_cast<std::uint32_t>(h), number),
                               textureData(appendRgba, w, h, rng));
        });
}

void twoValued(std::size_t size, const std::string& dir) {
    textureSet(
        dir, size, [](Rng& rng) { return maskData(100 << 10, rng); },
        [](std::uint32_t number, Rng& rng) {
            const std::size_t w = side(rng, 64, 4), h = side(rng, 64, 4);
            return dds::concat(dds::ddsHeader(static_cast<std::uint32_t>(w),
                                              static_cast<std::uint32_t>(h), number),
                               maskData(w * h, rng));
        });
}

void adversarial(std::size_t size, const std::string& dir) {
    constexpr std::size_t zeroData = 1 << 20;
    ByteBuffer data(zeroData + 16, 0);
    ByteBuffer moddedData(zeroData + 16, 0);
    for (std::size_t i = 0; i < 16; ++i) {
        data[zeroData + i] = static_cast<std::uint8_t>(0x41 + i);
        moddedData[zeroData + i] = static_cast<std::uint8_t>(0x61 + i);
    }
    const ByteBuffer header = dds::ddsHeader(1024, 1024, 1);
    writeTexture(dir + "/original.dds", header, data);
    writeTexture(dir + "/modded.dds", header, moddedData);

    Output archive(dir + "/archive.asf");
    const ByteBuffer zeros(1 << 20, 0);
    for (std::size_t left = size; left > 0; left -= std::min(left, zeros.size()))
        archive.write(left >= zeros.size() ? zeros : ByteBuffer(left, 0));
    archive.write(header);
    archive.write(data);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_bench_data compressed|transparent|twovalued|"
                             "adversarial SIZE_MIB DIR\n");
        return 2;
    }
    const std::string kind = argv[1];
    const std::size_t size = std::strtoull(argv[2], nullptr, 10) << 20;
    using Maker = void (*)(std::size_t, const std::string&);
    const std::pair<const char*, Maker> makers[] = {{"compressed", compressed},
                                                    {"transparent", transparent},
                                                    {"twovalued", twoValued},
                                                    {"adversarial", adversarial}};
    for (const auto& [name, make] : makers)
        if (kind == name) {
            make(size, argv[3]);
            return 0;
        }
    return 2;
}
