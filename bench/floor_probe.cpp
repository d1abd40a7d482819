// The floor of any sampling search on an archive: one page read at each of Dyeloom's sample
// points, with the reads issued together, and nothing else. Takes the same arguments as the
// patch programs (archive, original texture, modded texture, header byte count), so that the
// benchmark runs it side by side with them; only the archive and the original are used. A fifth
// argument sets how many sample pages are asked for at a time (64, as Dyeloom does).
#include "search.hpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Mapping {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
};

Mapping mapFile(const char* path) {
    const int fd = open(path, O_RDONLY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        std::perror(path);
        std::exit(1);
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    void* bytes = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (bytes == MAP_FAILED) {
        std::perror(path);
        std::exit(1);
    }
    return {static_cast<const std::uint8_t*>(bytes), size};
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5)
        return 2;
    const Mapping archive = mapFile(argv[1]);
    const Mapping texture = mapFile(argv[2]);
    const auto header = static_cast<std::size_t>(std::atoi(argv[4]));
    const dyeloom::Bytes data(texture.bytes + header, texture.size - header);

    // Dyeloom's own spacing; where it would not sample, a sequential read is the floor.
    const std::size_t sampled = dyeloom::MultiSearch(std::span(&data, 1)).geometry().spacingBytes;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t spacing = sampled != 0 ? sampled : page;
    madvise(const_cast<std::uint8_t*>(archive.bytes), archive.size,
            sampled != 0 ? MADV_RANDOM : MADV_SEQUENTIAL);

    // As Dyeloom announces and reads them: a window of sample pages asked for together, half a
    // window ahead, each sample then copied out with a positioned read.
    const std::size_t window = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 64;
    const int fd = open(argv[1], O_RDONLY);
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    std::size_t announced = 0;
    unsigned sum = 0;
    std::uint8_t sample[136];
    for (std::size_t at = 0; at < archive.size; at += spacing) {
        while (announced < archive.size && announced < at + window / 2 * spacing) {
            madvise(const_cast<std::uint8_t*>(archive.bytes) + announced / page * page, page,
                    MADV_WILLNEED);
            announced += spacing;
        }
        if (pread(fd, sample, sizeof sample, static_cast<off_t>(at)) > 0)
            sum += sample[0];
    }
    std::printf("read %zu sample pages, %zu bytes apart (%u)\n",
                (archive.size + spacing - 1) / spacing, spacing, sum & 1);
    return 0;
}
