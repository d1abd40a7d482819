// The package reader on any bytes: a package comes from a stranger. The reader must come back
// with a package or an error; what it accepts must hold together (every fingerprint of a shape
// the search relies on, every texture's data inside the file and after the one before), and the
// search for what it accepts, run over the input itself, must only ever report places whose bytes
// have the texture's digest.
#include "fingerprint/fingerprint_search.hpp"
#include "package_reader.hpp"
#include "scratch_file.hpp"

#include <cstdlib>

namespace {

void checkAccepted(const dyeloom::OpenedPackage& package, dyeloom::Bytes input) {
    using namespace dyeloom;
    if (package.entries.size() != package.header.textures)
        std::abort();
    std::uint64_t dataAt = packageHeaderBytes;
    std::vector<Fingerprint> prints;
    for (const PackageEntry& entry : package.entries) {
        const std::uint64_t length = entry.original.length;
        if (!isWellFormed(entry.original, maxFingerprintStride) || entry.moddedAt != dataAt ||
            entry.moddedAt + length > package.header.directoryAt || entry.name.empty())
            std::abort();
        dataAt += entry.originalAt == 0 ? length : 2 * length;
        prints.push_back(entry.original);
    }
    if (dataAt != package.header.directoryAt)
        std::abort();
    const FingerprintSearch search(prints);
    const auto found = search.findAll(input, [](std::size_t) { return ByteBuffer(); });
    for (std::size_t i = 0; i < prints.size(); ++i)
        if (found[i] && Digest::of(input.subspan(*found[i], prints[i].length)) != prints[i].digest)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path =
        dyeloom::fuzzing::writeScratch("/tmp/dyeloom-package-fuzz-XXXXXX", data, size);
    try {
        const dyeloom::OpenedPackage package =
            dyeloom::readPackage(path, [](std::uint64_t) { return std::size_t{8}; });
        checkAccepted(package, dyeloom::Bytes(data, size));
    } catch (const dyeloom::PackageError&) {
    }
    return 0;
}
