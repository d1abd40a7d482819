// The straightforward whole-file patcher: load everything, scan every offset byte by byte with
// the tests' reference scan, write the span back. The yardstick for Dyeloom's search.
#include "support/reference_scan.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<std::uint8_t> load(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::printf("can't open '%s'\n", path);
        std::exit(1);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        return 1;
    const auto archive = load(argv[1]);
    const auto original = load(argv[2]);
    const auto modded = load(argv[3]);
    const int h = std::atoi(argv[4]);
    const auto at = dyeloom::test::referenceOffset(archive, original, h);
    if (!at || modded.size() < original.size()) {
        std::printf("texture data is not found\n");
        return 0;
    }
    std::fstream out(argv[1], std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(*at + static_cast<std::size_t>(h)));
    out.write(reinterpret_cast<const char*>(modded.data()) + h,
              static_cast<std::streamsize>(original.size() - static_cast<std::size_t>(h)));
    std::printf("texture data is replaced\n");
    return out ? 0 : 1;
}
