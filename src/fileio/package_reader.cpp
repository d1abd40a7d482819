#include "package_reader.hpp"

#include <algorithm>
#include <set>
#include <tuple>

namespace dyeloom {
namespace {

// The directory is read this much at a time: an entry is at most a few KiB.
constexpr std::size_t directoryPieceBytes = std::size_t{1} << 20;

// Opens the package as a texture file of the folder it lies in, so that every later reading
// finds the very same file, of the same size.
void openPackageFile(const std::string& path, OpenedPackage& package, os::File& opened) {
    std::string real;
    if (const auto error = os::realPath(path, real))
        throw PackageError(path, os::describe(error));
    const std::size_t name = os::lastComponentAt(real);
    // With its separator: a folder so named is below nothing, and holds what starts with it.
    const std::string folder = real.substr(0, name);
    package.folder = std::make_unique<TextureFolder>(TextureFolder{folder, folder});
    if (const auto error = os::File::open(real, os::File::Access::Read, opened))
        throw PackageError(path, os::describe(error));
    os::FileStatus status;
    if (const auto error = opened.status(status))
        throw PackageError(path, os::describe(error));
    if (status.kind != os::FileKind::Regular)
        throw PackageError(path, "it is not a regular file");
    package.file = {path, real, package.folder.get(), status.identity, status.size};
}

// The directory, read in order a piece at a time.
class DirectoryReader {
public:
    DirectoryReader(const OpenedPackage& package, const os::File& opened)
        : package_(package), opened_(opened), at_(package.header.directoryAt),
          end_(at_ + package.header.directoryBytes) {}

    // The next `bytes` of the directory, at most what is left of it; valid until the next call.
    Bytes peek(std::size_t bytes) {
        if (held_.size() - used_ < bytes && at_ < end_) {
            held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(used_));
            used_ = 0;
            const std::size_t more =
                static_cast<std::size_t>(std::min<std::uint64_t>(end_ - at_, directoryPieceBytes));
            const std::size_t had = held_.size();
            held_.resize(had + more);
            readTexture(package_.file, opened_, at_, MutableBytes(held_).subspan(had));
            at_ += more;
        }
        return Bytes(held_).subspan(used_, std::min(bytes, held_.size() - used_));
    }
    void consume(std::size_t bytes) { used_ += bytes; }
    [[nodiscard]] bool atEnd() const { return at_ == end_ && used_ == held_.size(); }

private:
    const OpenedPackage& package_;
    const os::File& opened_;
    std::uint64_t at_, end_;
    ByteBuffer held_;
    std::size_t used_ = 0;
};

void readDirectory(OpenedPackage& package, const os::File& opened, Digest& checksum,
                   std::size_t keepKeys) {
    const std::string& path = package.file.shown;
    DirectoryReader directory(package, opened);
    std::uint64_t dataAt = packageHeaderBytes;
    package.entries.reserve(static_cast<std::size_t>(package.header.textures));
    for (std::uint64_t i = 0; i < package.header.textures; ++i) {
        const auto size = packageEntrySize(directory.peek(packageEntryBytes));
        const Bytes bytes = size ? directory.peek(static_cast<std::size_t>(
                                       std::min<std::uint64_t>(*size, directoryPieceBytes)))
                                 : Bytes();
        if (!size || bytes.size() != *size)
            throw PackageError(path, "its directory ends within a texture's entry");
        PackageEntry entry;
        if (const auto wrong = decodePackageEntry(bytes, package.header, keepKeys, dataAt, entry))
            throw PackageError(path, *wrong);
        checksum.add(bytes);
        directory.consume(bytes.size());
        package.entries.push_back(std::move(entry));
    }
    if (!directory.atEnd())
        throw PackageError(path, "its directory holds more than its textures");
    if (dataAt != package.header.directoryAt)
        throw PackageError(path, "its data does not end where its directory starts");
}

// A key shared by this many window positions of different originals is one no mod's textures
// give (their keys tell, and one image under several names counts once): the search would
// propose every one of them wherever the archive holds that key.
constexpr std::size_t maxSharedKey = 256;

void checkSharedKeys(const OpenedPackage& package) {
    std::set<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> originals;
    std::vector<std::uint64_t> keys;
    for (const PackageEntry& entry : package.entries) {
        const Digest128& digest = entry.original.digest;
        if (originals.emplace(entry.original.length, digest.low, digest.high).second)
            keys.insert(keys.end(), entry.original.keys.begin(), entry.original.keys.end());
    }
    std::sort(keys.begin(), keys.end());
    for (std::size_t run = 0, i = 0; i < keys.size(); ++i) {
        run = i > 0 && keys[i] == keys[i - 1] ? run + 1 : 1;
        if (run > maxSharedKey)
            throw PackageError(package.file.shown, "more than " + std::to_string(maxSharedKey) +
                                                       " of its keys are one and the same");
    }
}

} // namespace

OpenedPackage readPackage(const std::string& path, const KeysToKeep& keysToKeep) {
    OpenedPackage package;
    os::File opened;
    try {
        openPackageFile(path, package, opened);
        ByteBuffer header(packageHeaderBytes);
        if (package.file.size < header.size())
            throw PackageError(path, "it is shorter than a package's header");
        readTexture(package.file, opened, 0, header);
        if (const auto wrong = decodePackageHeader(header, package.file.size, package.header))
            throw PackageError(path, *wrong);
        Digest checksum;
        checksum.add(checkedHeaderPart(header));
        readDirectory(package, opened, checksum, keysToKeep(package.header.textures));
        if (checksum.value() != package.header.checksum)
            throw PackageError(path, "its checksum does not match its contents");
        checkSharedKeys(package);
    } catch (const TextureChanged&) {
        throw PackageError(path, "it changed while it was being read");
    }
    return package;
}

} // namespace dyeloom
