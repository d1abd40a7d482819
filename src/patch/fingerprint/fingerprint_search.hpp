// The search for every texture of a run by its fingerprint, in one pass over each archive.
//
// The archive is read in order, stretch by stretch. In each stretch every multiple of each
// window width present is probed: its key is looked up in the table of all windows, and each
// texture whose window of that width holds the key proposes a candidate. A candidate whose
// neighbouring keys agree too is verified by the digest of the archive's bytes at its span, lowest
// first. A lower occurrence of a texture has its window probed no later, so the first candidate
// verified is the texture's first occurrence, and the texture is settled there.
//
// What keys cannot do, bytes do: a texture without a window (too short for a key, or blank or
// flat throughout), and a texture whose candidates cost more to verify than a few times what the
// pass has covered (data that repeats the texture's window but not the rest), is searched for by
// its bytes, which `NeedleBytes` gives, from there on: the exact search (search.hpp), stretch by
// stretch as the pass reads them, linear in the archive whatever it holds.
#pragma once

#include "bytes.hpp"
#include "fingerprint/fingerprint.hpp"
#include "fingerprint/key_table.hpp"
#include "haystack_reader.hpp"
#include "search.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace dyeloom {

// The data of fingerprint `i`'s texture, read again; it must have the fingerprint's digest. No
// bytes: the texture's data is not at hand (a package holds only its original's fingerprint), and
// a texture that needs its bytes to be found is reported absent.
using NeedleBytes = std::function<ByteBuffer(std::size_t i)>;

class FingerprintSearch {
public:
    static constexpr std::size_t neverGivenUp = MultiSearch::neverGivenUp;

    // `fingerprints` must outlive the search. Fingerprint i is given up, and reported absent,
    // once fingerprint `givenUpWhenFound[i]` is found (neverGivenUp: never); `givenUpWhenFound`
    // is empty or has one entry per fingerprint. The tables are built once, for every haystack.
    // Each pass's probes are shared among `threads` threads; the archive is still read in order.
    explicit FingerprintSearch(std::span<const Fingerprint> fingerprints,
                               std::span<const std::size_t> givenUpWhenFound = {},
                               std::size_t threads = 1);

    // The lowest offset at which each fingerprint's data occurs in `haystack`, or nothing. May be
    // called for any number of haystacks; each call reads its haystack once, in order.
    [[nodiscard]] std::vector<std::optional<std::size_t>>
    findAll(Bytes haystack, const NeedleBytes& needleBytes, HaystackReader* reader = nullptr,
            const SearchProgress& progress = {}) const;

private:
    std::span<const Fingerprint> fingerprints_;
    std::vector<std::size_t> givenUpWhenFound_;
    std::size_t threads_;
    std::vector<std::uint8_t> widths_; // log2 of the stride each fingerprint is probed at
    KeyTable table_;
};

} // namespace dyeloom
