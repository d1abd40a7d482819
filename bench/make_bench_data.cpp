// Writes a benchmark data set into a folder: archive.asf, original.dds and modded.dds.
//   make_bench_data realistic SIZE_MIB DIR
//     DDS-like entries (128-byte header, 4 to 256 KiB of pseudo-random data, zero padding to
//     2 KiB) up to about 97% of the size, then the target texture (1 MiB of data) stored under a
//     header of its own, then a little padding.
//   make_bench_data adversarial SIZE_MIB DIR
//     SIZE_MIB MiB of zeros, then the target texture, whose data is 1 MiB of zeros and 16 other
//     bytes; the modded texture has the same shape, so patching back and forth stays hard.
// Files are written in pieces, so the generator needs little memory at any size.
#include "../tools/dds_like.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace dds = dyeloom::tools;
using dds::ByteBuffer;

constexpr std::size_t targetData = 1 << 20;

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

void writeTexture(const std::string& path, const ByteBuffer& header, const ByteBuffer& data) {
    Output out(path);
    out.write(header);
    out.write(data);
}

void realistic(std::size_t size, const std::string& dir) {
    std::mt19937_64 rng(512);
    ByteBuffer data;
    dds::appendRandom(data, targetData, rng);
    ByteBuffer moddedData;
    dds::appendRandom(moddedData, targetData, rng);
    writeTexture(dir + "/original.dds", dds::ddsHeader(1024, 1024, 1), data);
    writeTexture(dir + "/modded.dds", dds::ddsHeader(1024, 1024, 1), moddedData);

    Output archive(dir + "/archive.asf");
    const std::size_t entriesEnd = size / 100 * 97;
    const std::size_t sizes[] = {4 << 10, 16 << 10, 64 << 10, 256 << 10};
    std::uint32_t tag = 100;
    while (archive.written() < entriesEnd) {
        archive.write(dds::ddsTexture(sizes[rng() % 4], tag++, rng));
        archive.pad(dds::entryAlignment);
    }
    archive.write(dds::ddsHeader(1024, 1024, 77)); // the archive's own copy of the header
    archive.write(data);
    archive.pad(dds::entryAlignment);
    archive.write(ByteBuffer(4096, 0));
}

void adversarial(std::size_t size, const std::string& dir) {
    ByteBuffer data(targetData + 16, 0);
    ByteBuffer moddedData(targetData + 16, 0);
    for (std::size_t i = 0; i < 16; ++i) {
        data[targetData + i] = static_cast<std::uint8_t>(0x41 + i);
        moddedData[targetData + i] = static_cast<std::uint8_t>(0x61 + i);
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
        std::fprintf(stderr, "usage: make_bench_data realistic|adversarial SIZE_MIB DIR\n");
        return 2;
    }
    const std::string kind = argv[1];
    const std::size_t size = std::strtoull(argv[2], nullptr, 10) << 20;
    if (kind == "realistic")
        realistic(size, argv[3]);
    else if (kind == "adversarial")
        adversarial(size, argv[3]);
    else
        return 2;
    return 0;
}
