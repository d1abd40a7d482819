#include "package_format.hpp"

#include "little_endian.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace dyeloom {
namespace {

constexpr char magic[] = "DYELOOM-PACKAGE\n"; // 16 characters, no terminator in the file
constexpr std::size_t magicBytes = sizeof magic - 1;
constexpr std::uint32_t version = 1;
constexpr std::size_t checkedHeaderBytes = 48;

// Where each field of the header and of an entry stands (see package_format.hpp).
namespace field {
constexpr std::size_t version = 16;
constexpr std::size_t headerBytes = 20;
constexpr std::size_t textures = 24;
constexpr std::size_t directoryAt = 32;
constexpr std::size_t directoryBytes = 40;
constexpr std::size_t checksum = 48;
// In an entry.
constexpr std::size_t nameBytes = 0;
constexpr std::size_t keys = 4;
constexpr std::size_t length = 8;
constexpr std::size_t originalDigest = 16;
constexpr std::size_t windowStart = 32;
constexpr std::size_t period = 40;
constexpr std::size_t probeStride = 44;
constexpr std::size_t periodicBytes = 48;
constexpr std::size_t lastKey = 56;
constexpr std::size_t moddedDigest = 64;
constexpr std::size_t moddedAt = 80;
constexpr std::size_t originalAt = 88;
} // namespace field

void putDigest(std::uint8_t* at, const Digest128& digest) {
    putLittleEndian(at, digest.low, 8);
    putLittleEndian(at + 8, digest.high, 8);
}

Digest128 getDigest(const std::uint8_t* at) {
    return {getLittleEndian(at, 8), getLittleEndian(at + 8, 8)};
}

std::uint64_t get64(Bytes bytes, std::size_t at) {
    return getLittleEndian(bytes.data() + at, 8);
}

std::uint32_t get32(Bytes bytes, std::size_t at) {
    return static_cast<std::uint32_t>(getLittleEndian(bytes.data() + at, 4));
}

// Whether `bytes` bytes from `at` lie within [from, to), without overflow.
bool within(std::uint64_t at, std::uint64_t bytes, std::uint64_t from, std::uint64_t to) {
    return at >= from && at <= to && bytes <= to - at;
}

} // namespace

std::size_t packedWindowKeys(std::uint64_t length) {
    constexpr std::uint64_t fewest = 8, dataBytesPerKeyByte = 16;
    return static_cast<std::size_t>(std::bit_floor(std::clamp<std::uint64_t>(
        length / dataBytesPerKeyByte / packageKeyBytes, fewest, maxFingerprintStride)));
}

ByteBuffer encodePackageHeader(const PackageHeader& header) {
    ByteBuffer bytes(packageHeaderBytes, 0);
    std::memcpy(bytes.data(), magic, magicBytes);
    putLittleEndian(&bytes[field::version], version, 4);
    putLittleEndian(&bytes[field::headerBytes], static_cast<std::uint32_t>(header.headerBytes), 4);
    putLittleEndian(&bytes[field::textures], header.textures, 8);
    putLittleEndian(&bytes[field::directoryAt], header.directoryAt, 8);
    putLittleEndian(&bytes[field::directoryBytes], header.directoryBytes, 8);
    putDigest(&bytes[field::checksum], header.checksum);
    return bytes;
}

bool beginsAsPackage(Bytes bytes) {
    return bytes.size() >= magicBytes && std::memcmp(bytes.data(), magic, magicBytes) == 0;
}

Bytes checkedHeaderPart(Bytes header) {
    return header.first(checkedHeaderBytes);
}

std::optional<std::string> decodePackageHeader(Bytes bytes, std::uint64_t fileBytes,
                                               PackageHeader& header) {
    if (bytes.size() < packageHeaderBytes || !beginsAsPackage(bytes))
        return "it is not a Dyeloom package";
    if (get32(bytes, field::version) != version)
        return "it is of format version " + std::to_string(get32(bytes, field::version)) +
               ", which this Dyeloom does not read";
    header.headerBytes = static_cast<std::int32_t>(get32(bytes, field::headerBytes));
    header.textures = get64(bytes, field::textures);
    header.directoryAt = get64(bytes, field::directoryAt);
    header.directoryBytes = get64(bytes, field::directoryBytes);
    header.checksum = getDigest(&bytes[field::checksum]);
    if (header.textures > maxPackageTextures)
        return "it claims " + std::to_string(header.textures) + " textures, more than " +
               std::to_string(maxPackageTextures);
    if (!within(header.directoryAt, header.directoryBytes, packageHeaderBytes, fileBytes) ||
        header.directoryAt + header.directoryBytes != fileBytes)
        return "its directory does not end where the file does";
    if (header.directoryBytes / packageEntryBytes < header.textures)
        return "its directory is too short for its textures";
    return std::nullopt;
}

ByteBuffer encodePackageEntry(const PackageEntry& entry) {
    const Fingerprint& print = entry.original;
    ByteBuffer bytes(packageEntryBytes + packageKeyBytes * print.keys.size() + entry.name.size(),
                     0);
    putLittleEndian(&bytes[field::nameBytes], entry.name.size(), 4);
    putLittleEndian(&bytes[field::keys], print.keys.size(), 4);
    putLittleEndian(&bytes[field::length], print.length, 8);
    putDigest(&bytes[field::originalDigest], print.digest);
    putLittleEndian(&bytes[field::windowStart], print.windowStart, 8);
    putLittleEndian(&bytes[field::period], print.period, 4);
    putLittleEndian(&bytes[field::probeStride], print.probeStride, 4);
    putLittleEndian(&bytes[field::periodicBytes], print.periodicBytes, 8);
    putLittleEndian(&bytes[field::lastKey], print.lastKey, 8);
    putDigest(&bytes[field::moddedDigest], entry.moddedDigest);
    putLittleEndian(&bytes[field::moddedAt], entry.moddedAt, 8);
    putLittleEndian(&bytes[field::originalAt], entry.originalAt, 8);
    std::uint8_t* at = bytes.data() + packageEntryBytes;
    for (const std::uint64_t key : print.keys) {
        putLittleEndian(at, key, packageKeyBytes);
        at += packageKeyBytes;
    }
    std::memcpy(at, entry.name.data(), entry.name.size());
    return bytes;
}

std::optional<std::uint64_t> packageEntrySize(Bytes bytes) {
    if (bytes.size() < packageEntryBytes)
        return std::nullopt;
    return packageEntryBytes + std::uint64_t{packageKeyBytes} * get32(bytes, field::keys) +
           get32(bytes, field::nameBytes);
}

std::optional<std::string> decodePackageEntry(Bytes bytes, const PackageHeader& header,
                                              std::size_t keepKeys, std::uint64_t& dataAt,
                                              PackageEntry& entry) {
    const std::uint32_t nameBytes = get32(bytes, field::nameBytes);
    const std::uint32_t keys = get32(bytes, field::keys);
    if (nameBytes == 0 || nameBytes > maxPackageNameBytes)
        return "a texture's name is " + std::to_string(nameBytes) + " bytes long";
    if (keys > maxFingerprintStride)
        return "a texture claims " + std::to_string(keys) + " keys";
    Fingerprint& print = entry.original;
    print.length = get64(bytes, field::length);
    print.digest = getDigest(&bytes[field::originalDigest]);
    print.windowStart = get64(bytes, field::windowStart);
    print.period = get32(bytes, field::period);
    print.probeStride = get32(bytes, field::probeStride);
    print.periodicBytes = get64(bytes, field::periodicBytes);
    print.lastKey = get64(bytes, field::lastKey);
    entry.moddedDigest = getDigest(&bytes[field::moddedDigest]);
    entry.moddedAt = get64(bytes, field::moddedAt);
    entry.originalAt = get64(bytes, field::originalAt);
    const std::uint8_t* keyAt = bytes.data() + packageEntryBytes;
    print.keys.resize(keys);
    for (std::uint64_t& key : print.keys) {
        key = getLittleEndian(keyAt, packageKeyBytes);
        keyAt += packageKeyBytes;
    }
    entry.name.assign(reinterpret_cast<const char*>(keyAt), nameBytes);
    if (print.length == 0 || !isWellFormed(print, maxFingerprintStride))
        return "a texture's fingerprint is malformed";
    const std::uint64_t held = entry.originalAt == 0 ? 1 : 2;
    if (entry.moddedAt != dataAt || print.length > (header.directoryAt - dataAt) / held ||
        (entry.originalAt != 0 && entry.originalAt != dataAt + print.length))
        return "a texture's data does not lie where the one before it ends";
    dataAt += held * print.length;
    if (print.period == 0 && print.keys.size() > keepKeys)
        print.keys.resize(std::bit_floor(std::max<std::size_t>(keepKeys, 1)));
    return std::nullopt;
}

} // namespace dyeloom
