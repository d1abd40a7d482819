// Exact search for one byte string inside another.
#pragma once

#include "bytes.hpp"
#include "haystack_reader.hpp"

#include <cstddef>
#include <memory>
#include <optional>

namespace dyeloom {

namespace search_stages {
class RareByteSearch;
class SampledSearch;
} // namespace search_stages

// The search for one needle, prepared once (its index and sampling plan) and run over any
// number of haystacks or stretches of one.
class Searcher {
public:
    // `needle` must not be empty and must outlive the searcher.
    explicit Searcher(Bytes needle);
    ~Searcher();
    Searcher(const Searcher&) = delete;
    Searcher& operator=(const Searcher&) = delete;

    [[nodiscard]] SearchGeometry geometry() const noexcept;

    // The lowest offset from `first` to `last` (inclusive) at which the needle occurs in
    // `haystack`, which must hold the needle at `last`. Read through `reader` when not null.
    [[nodiscard]] std::optional<std::size_t> find(Bytes haystack, std::size_t first,
                                                  std::size_t last, HaystackReader* reader);

private:
    Bytes needle_;
    std::unique_ptr<search_stages::RareByteSearch> rareByte_;
    std::unique_ptr<search_stages::SampledSearch> sampled_; // null when sampling cannot pay
};

// The lowest index at which `needle` occurs in `haystack`, or nothing. An empty needle is
// never found. Linear in the haystack's length on every input; on ordinary data it reads only
// a small part of it. A haystack that lives in a file is best read through `reader`, which
// plans, stretch by stretch, how its bytes are read.
std::optional<std::size_t> findFirst(Bytes haystack, Bytes needle,
                                     HaystackReader* reader = nullptr);

} // namespace dyeloom
