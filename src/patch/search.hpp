// Exact search for byte strings (needles: textures' data, kilobytes to megabytes) inside a much
// longer one (the haystack: an archive, up to gigabytes): one needle or a batch of them found in
// one pass, in time linear in the haystack on any input and far below it on ordinary data.
//
// Words the search is written in (the stages live in search/, one file each):
//  - entry: a position of a needle's indexed part, a word (8 bytes) from the next; the gram at
//    an entry is the 8 to 128 bytes that start there, and its fingerprint a rolling hash of them.
//  - informative: an entry whose gram occurs once in the part and is no short repetition (blank
//    rows and flat colour are not); only those are looked up (informative_entries).
//  - class: entries a spacing apart are of one class. Blocks of samples a spacing apart meet, for
//    any candidate, a run of consecutive classes; a plan makes sure each run holds an
//    informative entry (sampling_plan, which works an example through).
//  - group: needles whose own plans are alike, sampled with one plan and one table of their
//    informative grams (batch_plan, sampled_group, group_table).
//  - stretch: the candidate offsets settled before the search moves on; the haystack's reader
//    plans each one (multi_search).
//  - settle: a needle is settled in a stretch once no candidate there can be lower than its best
//    match; a needle settled with a match is found, and that match is its first occurrence.
//  - hand over: a block whose candidates cost too much to verify hands its part of the stretch to
//    the needle's rare-byte scan (group_stretch, rare_byte), which also serves needles that
//    cannot be sampled (shared_scan); Two-Way bounds that scan's cost on any data.
//  - pass: needles too short to sample, probed together in one walk over each
//    stretch: the key (16 bytes) at every stride-th byte is looked up once in a table of every
//    such needle's window, a stride of consecutive keys each telling of it, so one lookup meets
//    every candidate (pass_window, pass_table, pass_stretch).
#pragma once

#include "bytes.hpp"
#include "haystack_reader.hpp"

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace dyeloom {

// Reports how far a search has come: haystack bytes settled, and needles found so far.
using SearchProgress = std::function<void(std::size_t searched, std::size_t found)>;

// The search for a batch of needles, prepared once (one index of all their informative grams,
// one sampling plan) and run over a haystack in one pass: each sample is looked up once
// whatever the number of needles, and each needle's candidates are verified against it alone.
// Each needle's result is its first occurrence, as if it were searched for alone.
class MultiSearch {
public:
    static constexpr std::size_t neverGivenUp = std::numeric_limits<std::size_t>::max();

    // `needles` must outlive the search; an empty one is never found. Needle i is given up,
    // and reported absent, once needle `givenUpWhenFound[i]` is found (neverGivenUp: never): it
    // is of no use then. `givenUpWhenFound` is empty or has one entry per needle.
    explicit MultiSearch(std::span<const Bytes> needles,
                         std::span<const std::size_t> givenUpWhenFound = {});
    ~MultiSearch();
    MultiSearch(const MultiSearch&) = delete;
    MultiSearch& operator=(const MultiSearch&) = delete;

    // A bound on the heap a search takes beside its needles, which the caller holds:
    // sharedHeapBytes() whatever the batch, and heapPerNeedle(n) more for each needle of n bytes.
    [[nodiscard]] static std::size_t sharedHeapBytes() noexcept;
    [[nodiscard]] static std::size_t heapPerNeedle(std::size_t needleBytes) noexcept;

    // What the search reads of a haystack while any needle is left: its longest needle, and
    // where it samples (spacing 0 when some needle needs every byte read).
    [[nodiscard]] SearchGeometry geometry() const noexcept;

    // The lowest offset at which each needle occurs in `haystack`, or nothing. A haystack that
    // lives in a file is best read through `reader`, which plans, stretch by stretch, how its
    // bytes are read. `progress`, if set, is called after each stretch. A search is planned for
    // one haystack and runs once.
    [[nodiscard]] std::vector<std::optional<std::size_t>>
    findAll(Bytes haystack, HaystackReader* reader = nullptr, const SearchProgress& progress = {});

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The lowest index at which `needle` occurs in `haystack`, or nothing: a batch of one. An
// empty needle is never found. Linear in the haystack's length on every input; on ordinary data
// it reads only a small part of it.
std::optional<std::size_t> findFirst(Bytes haystack, Bytes needle,
                                     HaystackReader* reader = nullptr);

} // namespace dyeloom
