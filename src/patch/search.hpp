// Exact search for byte strings inside a much longer one: one needle or a batch of them found
// in one pass.
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
    static constexpr std::size_t noPartner = std::numeric_limits<std::size_t>::max();

    // `needles` must outlive the search; an empty one is never found. Needle i is given up,
    // and reported absent, once needle `partners[i]` is found (noPartner: never): it is of no
    // use then. `partners` is empty or has one entry per needle.
    explicit MultiSearch(std::span<const Bytes> needles,
                         std::span<const std::size_t> partners = {});
    ~MultiSearch();
    MultiSearch(const MultiSearch&) = delete;
    MultiSearch& operator=(const MultiSearch&) = delete;

    // What the search reads of a haystack while any needle is left: its longest needle, and
    // where it samples (spacing 0 when some needle needs every byte read).
    [[nodiscard]] SearchGeometry geometry() const noexcept;

    // The lowest offset at which each needle occurs in `haystack`, or nothing. A haystack that
    // lives in a file is best read through `reader`, which plans, stretch by stretch, how its
    // bytes are read. `progress`, if set, is called after each stretch.
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
