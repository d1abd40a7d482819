// What the stages of a batch's search share about its needles: what has been found of each, what
// the stretch under way needs of each, and who is told when a needle is settled.
#pragma once

#include "bytes.hpp"
#include "haystack_reader.hpp"

#include <cstddef>
#include <optional>
#include <vector>

namespace dyeloom::search_stages {

// The haystack a search runs over, and its reader (may be null).
struct Haystack {
    Bytes bytes;
    HaystackReader* reader = nullptr;
};

// What has been found of one needle in the haystack.
struct NeedleOutcome {
    bool done = false;                 // found, or known absent, or given up
    std::optional<std::size_t> offset; // its first occurrence, once done
    std::size_t lastCandidate = 0;     // the last offset where it fits in the haystack
};

// Told when a needle is settled: found at `offset`, or absent (nothing).
class NeedleSink {
public:
    virtual void finish(std::size_t needle, std::optional<std::size_t> offset) = 0;

protected:
    ~NeedleSink() = default;
};

// A sampled needle's part in the stretch under way: every candidate below `settledBelow` is
// settled, `best` is the lowest match so far, and past `limit` no block meets a candidate that
// could still be lower.
struct OpenNeedle {
    bool open = false;
    bool endsNeedle = false; // the stretch reaches the needle's last candidate
    std::size_t settledBelow = 0;
    std::size_t last = 0; // the stretch's last candidate for this needle
    std::size_t limit = 0;
    std::size_t handOverBlocks = 1;
    std::optional<std::size_t> best;
};

// The open needles of the stretch under way, and how many there are.
class StretchBoard {
public:
    explicit StretchBoard(std::size_t needles) : needles_(needles) {}

    [[nodiscard]] OpenNeedle& operator[](std::size_t needle) { return needles_[needle]; }
    [[nodiscard]] const OpenNeedle& operator[](std::size_t needle) const {
        return needles_[needle];
    }
    [[nodiscard]] std::size_t openCount() const noexcept { return open_; }

    void open(std::size_t needle, std::size_t first, std::size_t last, bool endsNeedle) {
        needles_[needle] = {true, endsNeedle, first, last, 0, 1, std::nullopt};
        ++open_;
    }
    void close(std::size_t needle) {
        if (needles_[needle].open) {
            needles_[needle].open = false;
            --open_;
        }
    }

private:
    std::vector<OpenNeedle> needles_;
    std::size_t open_ = 0;
};

} // namespace dyeloom::search_stages
