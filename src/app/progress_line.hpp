// How far a long run has come, shown on a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace dyeloom {

// Shows, on a terminal and once a run has taken a second, how far the search has come, on one
// line rewritten in place; erased before the result lines.
class ProgressLine {
public:
    ProgressLine(std::uint64_t archiveBytes, std::size_t textures);
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { erase(); }

    // `pass` counts from 1; `found` counts every pass's textures found so far.
    void update(std::size_t pass, std::size_t searched, std::size_t found);
    void erase();

private:
    bool shown_;
    std::uint64_t archiveBytes_;
    std::size_t textures_;
    std::size_t width_ = 0; // of the longest line shown, 0 while none is
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace dyeloom
