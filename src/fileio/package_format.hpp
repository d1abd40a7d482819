// A mod package: the textures of a mod in one file, each as the data it installs and the
// fingerprint of the data it replaces, without the data itself. An install that writes anything
// writes an undo package in the same format: the bytes it overwrote, under the fingerprint of the
// data it wrote.
//
// A package comes from someone else, so every field is checked against the file before it is
// used, and the names are labels for the report, never paths. The file, all numbers
// little-endian:
//    0  "DYELOOM-PACKAGE\n"  16 bytes
//   16  version            u32, 1
//   20  header bytes       i32     the texture header byte count the mod was packed with: the
//                                  first this many bytes of an archive are never searched
//   24  textures           u64     entries in the directory, at most maxPackageTextures
//   32  directory at       u64     where the directory starts, which is where the data ends
//   40  directory bytes    u64     the file ends where the directory does
//   48  checksum           16 bytes, XXH3-128 of bytes 0 to 47 and of the directory
//   64  the data: entry after entry, its modded data, then its original's data when the package
//       holds it, back to back, in the directory's order
//   ... the directory: an entry per texture, each at least 96 bytes:
//         0  name bytes      u32     1 to maxPackageNameBytes
//         4  keys            u32     at most maxFingerprintStride
//         8  length          u64     of the original's data and of the modded data, at least 1
//        16  original digest 16 bytes, XXH3-128 of the original's data
//        32  window start    u64     the fingerprint (fingerprint.hpp), whose keys follow:
//        40  period          u32       the window's or the pattern's shape, checked by
//        44  probe stride    u32       isWellFormed
//        48  periodic bytes  u64
//        56  last key        u64
//        64  modded digest   16 bytes, XXH3-128 of the modded data
//        80  modded at       u64     where the modded data starts in the file
//        88  original at     u64     where the original's data starts, or 0: the package holds
//                                    only its fingerprint (a mod's package always)
//        96  the keys, 4 bytes each (window keys are 32 bits), then the name's bytes
// A texture's data is checked by its digest when it is read, before anything is written: the
// checksum covers the layout, the digests the data.
#pragma once

#include "bytes.hpp"
#include "digest.hpp"
#include "fingerprint/fingerprint.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace dyeloom {

inline constexpr std::size_t packageHeaderBytes = 64;
inline constexpr std::size_t packageEntryBytes = 96; // an entry without its keys and name
inline constexpr std::size_t packageKeyBytes = 4;
// More would be no mod a game holds, and would outgrow the heap the search may take.
inline constexpr std::uint64_t maxPackageTextures = std::uint64_t{1} << 20;
inline constexpr std::uint32_t maxPackageNameBytes = 4096;

// The widest window a package keeps of an original of `length` bytes: its keys (4 bytes each)
// take at most a sixteenth of the data, and there are never fewer than 8 (a window as narrow as
// a mod of 100,000 textures keeps) nor more than maxFingerprintStride (2 KiB).
[[nodiscard]] std::size_t packedWindowKeys(std::uint64_t length);

struct PackageHeader {
    std::int32_t headerBytes = 0;
    std::uint64_t textures = 0;
    std::uint64_t directoryAt = packageHeaderBytes;
    std::uint64_t directoryBytes = 0;
    Digest128 checksum;
};

// One texture of a package.
struct PackageEntry {
    std::string name;     // a label: any bytes
    Fingerprint original; // its length is the modded data's too
    Digest128 moddedDigest;
    std::uint64_t moddedAt = 0;
    std::uint64_t originalAt = 0; // 0: the package holds no data of the original
};

// Whether `bytes`, a file's first, begin as a package's do.
[[nodiscard]] bool beginsAsPackage(Bytes bytes);
inline constexpr std::size_t packageMagicBytes = 16;

// The header's bytes, its checksum field as `header.checksum` gives it.
[[nodiscard]] ByteBuffer encodePackageHeader(const PackageHeader& header);

// The header in `bytes` (packageHeaderBytes of them), or why it is not one of a package of
// `fileBytes` bytes.
[[nodiscard]] std::optional<std::string> decodePackageHeader(Bytes bytes, std::uint64_t fileBytes,
                                                             PackageHeader& header);

// The bytes 0 to 47 of the header, which the checksum covers.
[[nodiscard]] Bytes checkedHeaderPart(Bytes header);

[[nodiscard]] ByteBuffer encodePackageEntry(const PackageEntry& entry);

// How many bytes the entry at the start of `bytes` takes, or nothing when its fixed part is not
// all there.
[[nodiscard]] std::optional<std::uint64_t> packageEntrySize(Bytes bytes);

// The entry that `bytes` (packageEntrySize of them) holds, checked against the header: its data
// must start at `dataAt`, where the entry before it ends. Keeps at most `keepKeys` (a power of
// two) of its window's keys, the first: a narrower window of the same data. Returns why it is
// not an entry of this package, or nothing with `dataAt` moved past the entry's data.
[[nodiscard]] std::optional<std::string>
decodePackageEntry(Bytes bytes, const PackageHeader& header, std::size_t keepKeys,
                   std::uint64_t& dataAt, PackageEntry& entry);

} // namespace dyeloom
