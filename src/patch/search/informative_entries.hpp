// Which entries of a needle say much about it, and which part of a long needle is indexed.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dyeloom::search_stages {

// A flag per entry of a needle's part: 1 where the entry's gram is informative, that is occurs
// once among the part's entries and is no short repetition. Transparent or flat areas of a
// texture give grams that occur everywhere in an archive; leaving them out keeps a lookup to one
// candidate.
using EntryFlags = std::vector<std::uint8_t>;

// The flags of every entry of `part` at grams of `gramBytes` (a multiple of 8); `part` holds at
// least gramBytes + entryBytes bytes.
[[nodiscard]] EntryFlags informativeEntries(Bytes part, std::size_t gramBytes);

// Where in `needle` its part of `windowBytes` starts: of a few windows spread over the needle,
// the one whose grams are least often short repetitions, the earliest of equals (its blocks then
// lag least behind a candidate). A texture's first rows are often sky or a transparent field.
[[nodiscard]] std::size_t indexedWindowStart(Bytes needle, std::size_t windowBytes);

// The part of needle `needle` a group indexes: it starts `from` bytes into the needle, and has
// one flag per entry.
struct IndexedPart {
    std::size_t needle = 0;
    std::size_t from = 0;
    EntryFlags informative;
};

// Needle i's part of at most `windowBytes`, indexed at grams of `gramBytes`.
[[nodiscard]] IndexedPart indexPart(Bytes needle, std::size_t i, std::size_t windowBytes,
                                    std::size_t gramBytes);

} // namespace dyeloom::search_stages
