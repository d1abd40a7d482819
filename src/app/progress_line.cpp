#include "progress_line.hpp"

#include "os_console.hpp"
#include "output.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

namespace dyeloom {

ProgressLine::ProgressLine(std::uint64_t archiveBytes, std::size_t textures)
    : shown_(os::outputIsTerminal()), archiveBytes_(archiveBytes), textures_(textures) {}

void ProgressLine::update(std::size_t pass, std::size_t searched, std::size_t found) {
    constexpr std::uint64_t mib = 1 << 20;
    if (!shown_ || std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1))
        return;
    std::string line = pass > 1 ? "pass " + std::to_string(pass) + ": " : "";
    line += "searched " + std::to_string(searched / mib) + " of " +
            std::to_string(archiveBytes_ / mib) + " MiB, " +
            std::to_string(std::min(found, textures_)) + " of " + std::to_string(textures_) +
            " textures found";
    // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on "\r" + a string.
    std::string rewrite(1, '\r');
    rewrite += line;
    rewrite.append(width_ > line.size() ? width_ - line.size() : 0, ' ');
    print(rewrite);
    std::fflush(stdout);
    width_ = std::max(width_, line.size());
}

void ProgressLine::erase() {
    if (width_ == 0)
        return;
    std::string blank(width_ + 2, ' ');
    blank.front() = blank.back() = '\r';
    print(blank);
    width_ = 0;
}

} // namespace dyeloom
