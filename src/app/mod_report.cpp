#include "mod_report.hpp"

#include "os_console.hpp"
#include "output.hpp"
#include "shown_name.hpp"

#include <algorithm>
#include <cstdio>

namespace dyeloom {
namespace {

std::string lineFor(const Texture& texture) {
    const std::string name = shownName(texture.name);
    switch (texture.outcome) {
    case Outcome::Replaced:
        return "replaced: " + name;
    case Outcome::AlreadyReplaced:
        return "already replaced: " + name;
    case Outcome::NotFound:
        return "not found: " + name;
    case Outcome::Skipped:
        return "skipped: " + name + ": " + texture.skipReason;
    case Outcome::Conflict:
        return "conflict: " + name + ": its data overlaps that of " +
               shownName(texture.overlapping->name) + " in the archive; neither is written";
    case Outcome::Pending:
        break;
    }
    return "fatal error";
}

std::string lineFor(const os::UnlistedFolder& folder) {
    return "skipped: " + shownName(folder.path) +
           "/: can't list it: " + os::describe(folder.reason);
}

struct Counts {
    std::size_t replaced = 0, alreadyReplaced = 0, notFound = 0, skipped = 0, inConflict = 0;
};

Counts countOutcomes(const std::vector<ModTexture>& textures) {
    Counts counts;
    for (const ModTexture& texture : textures) {
        switch (texture.texture.outcome) {
        case Outcome::Replaced:
            ++counts.replaced;
            break;
        case Outcome::AlreadyReplaced:
            ++counts.alreadyReplaced;
            break;
        case Outcome::NotFound:
            ++counts.notFound;
            break;
        case Outcome::Skipped:
            ++counts.skipped;
            break;
        case Outcome::Conflict:
            ++counts.inConflict;
            break;
        case Outcome::Pending:
            break;
        }
    }
    return counts;
}

std::string summaryOf(const ModListing& mod, const std::string& archive) {
    const Counts counts = countOutcomes(mod.textures);
    const std::size_t textures = mod.textures.size();
    const std::size_t folders = mod.unlisted.size();
    const std::string unlisted = folders == 0 ? ""
                                              : "; " + std::to_string(folders) +
                                                    (folders == 1 ? " folder" : " folders") +
                                                    " could not be listed";
    return std::to_string(textures) + (textures == 1 ? " texture: " : " textures: ") +
           std::to_string(counts.replaced) + " replaced, " +
           std::to_string(counts.alreadyReplaced) + " already replaced, " +
           std::to_string(counts.notFound) + " not found, " + std::to_string(counts.skipped) +
           " skipped, " + std::to_string(counts.inConflict) + " in conflict" + unlisted + "; " +
           quoted(archive) + (counts.replaced > 0 ? " is patched" : " is unchanged");
}

} // namespace

void printModReport(const ModListing& mod, const std::string& archive) {
    // Both lists are in byte order of their paths; a folder's line stands where its files would.
    std::size_t folder = 0;
    for (const ModTexture& texture : mod.textures) {
        for (;
             folder < mod.unlisted.size() && mod.unlisted[folder].path + "/" < texture.texture.name;
             ++folder)
            print(lineFor(mod.unlisted[folder]) + "\n");
        print(lineFor(texture.texture) + "\n");
    }
    for (; folder < mod.unlisted.size(); ++folder)
        print(lineFor(mod.unlisted[folder]) + "\n");
    print(summaryOf(mod, archive) + "\n");
}

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
