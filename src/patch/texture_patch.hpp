// Finding a texture's data inside an archive by content, and describing the splice that swaps
// it for another texture's data. Pure functions over bytes: no files, no output.
#pragma once

#include "bytes.hpp"
#include "haystack_reader.hpp"
#include "search.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace dyeloom {

// Where the original texture file would begin in the archive if it were stored there whole.
using MatchOffset = std::uint64_t;

// The texture's data: the original file's bytes from `headerBytes` on. Empty when `headerBytes`
// is negative or not below the file's size, in which case there is nothing to look for.
Bytes textureData(Bytes texture, std::int32_t headerBytes);

// The lowest offset p at which archive bytes p + headerBytes .. p + b - 1 equal the original
// texture's bytes headerBytes .. b - 1 (b being the original's size), or nothing when there is
// no such offset or nothing to compare. The texture's header is neither compared nor needed.
// An archive that lives in a file is best read through `reader`.
std::optional<MatchOffset> findTextureOffset(Bytes archive, Bytes original,
                                             std::int32_t headerBytes,
                                             HaystackReader* reader = nullptr);

// findTextureOffset for every one of `textures` in one pass over the archive. Texture i is given
// up, and reported not found, once texture `givenUpWhenFound[i]` is found
// (MultiSearch::neverGivenUp: never); `givenUpWhenFound` is empty or has one entry per texture.
std::vector<std::optional<MatchOffset>>
findTextureOffsets(Bytes archive, std::span<const Bytes> textures, std::int32_t headerBytes,
                   HaystackReader* reader = nullptr,
                   std::span<const std::size_t> givenUpWhenFound = {},
                   const SearchProgress& progress = {});

// The bytes to write into the archive: the modded texture's data in place of the original's.
struct TextureSplice {
    std::uint64_t archiveOffset = 0; // first archive byte replaced
    Bytes replaced;                  // what the archive holds there now: the original's data
    Bytes replacement;               // the modded texture's bytes at the same indexes
};

// Whether a modded texture of `moddedSize` bytes has a byte for every index of an original of
// `originalSize` bytes; a splice needs it.
bool moddedCoversOriginal(std::uint64_t originalSize, std::uint64_t moddedSize);

// Describes the splice for a match at `matchOffset`. Only the modded texture's bytes at the
// indexes of the original's data are used: its header, and anything past the original's size,
// are ignored. The modded texture must cover the original (moddedCoversOriginal).
TextureSplice spliceTexture(Bytes original, Bytes modded, std::int32_t headerBytes,
                            MatchOffset matchOffset);

} // namespace dyeloom
