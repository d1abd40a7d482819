#include "mod_report.hpp"

#include "output.hpp"
#include "shown_name.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// The line of a texture's outcome; `in` names the archive in a game's report ("" otherwise).
std::string lineFor(const Texture& texture, Outcome outcome, const std::string& other,
                    const std::string& in) {
    const std::string shown = shownName(texture.name) + in;
    switch (outcome) {
    case Outcome::Replaced:
        return "replaced: " + shown;
    case Outcome::AlreadyReplaced:
        return "already replaced: " + shown;
    case Outcome::NotFound:
        return "not found: " + shown;
    case Outcome::Skipped:
        return "skipped: " + shown + ": " + texture.skipReason;
    case Outcome::Conflict:
        return "conflict: " + shown + ": its data overlaps that of " + shownName(other) +
               (in.empty() ? " in the archive" : " there") + "; neither is written";
    case Outcome::Pending:
        break;
    }
    return "fatal error";
}

// The name of the texture a Conflict overlaps.
std::string otherOf(const ModListing& mod, const Finding& found) {
    return found.overlapping == Finding::none ? std::string()
                                              : mod.textures[found.overlapping].texture.name;
}

// An archive as a game's lines name it: its folder as typed, its name as listed, escaped.
std::string shownArchive(const std::string& path) {
    const std::size_t name = os::lastComponentAt(path);
    return path.substr(0, name) + shownName(path.substr(name));
}

// The lines of texture `i`: one, or in a game one per archive that holds it.
std::string linesFor(const ModListing& mod, const std::vector<ModArchive>& archives, std::size_t i,
                     bool game) {
    const Texture& overall = mod.textures[i].texture;
    if (!game || overall.outcome == Outcome::Skipped) {
        const Finding& here = archives[0].found[i];
        const bool inArchive =
            overall.outcome != Outcome::Skipped && here.outcome != Outcome::Pending;
        return lineFor(overall, inArchive ? here.outcome : overall.outcome, otherOf(mod, here),
                       "") +
               "\n";
    }
    std::string lines;
    for (const ModArchive& archive : archives) {
        const Finding& here = archive.found[i];
        if (here.outcome == Outcome::Replaced || here.outcome == Outcome::AlreadyReplaced ||
            here.outcome == Outcome::Conflict)
            lines += lineFor(overall, here.outcome, otherOf(mod, here),
                             " in " + shownArchive(archive.path)) +
                     "\n";
    }
    return lines.empty() ? "not found: " + shownName(overall.name) + "\n" : lines;
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

bool patchedBy(const ModArchive& archive) {
    return std::any_of(archive.found.begin(), archive.found.end(),
                       [](const Finding& found) { return found.outcome == Outcome::Replaced; });
}

// What the run did, or would do, to its archives.
std::string archivesPart(const std::vector<ModArchive>& archives, const ModRun& run) {
    const auto patched =
        static_cast<std::size_t>(std::count_if(archives.begin(), archives.end(), patchedBy));
    const std::string check = run.checkOnly ? "; nothing was written (check only)" : "";
    if (run.game)
        return std::to_string(patched) + " of " + std::to_string(archives.size()) +
               (archives.size() == 1 ? " archive " : " archives ") +
               (run.checkOnly ? "would be patched" : "patched") + check;
    if (run.checkOnly)
        return quoted(archives[0].path) + (patched > 0 ? " would be patched" : " needs no change") +
               check;
    return quoted(archives[0].path) + (patched > 0 ? " is patched" : " is unchanged");
}

std::string summaryOf(const ModListing& mod, const std::vector<ModArchive>& archives,
                      const ModRun& run) {
    const Counts counts = countOutcomes(mod.textures);
    const std::size_t textures = mod.textures.size();
    const std::string unlisted = unlistedPart(mod);
    return std::to_string(textures) + (textures == 1 ? " texture: " : " textures: ") +
           std::to_string(counts.replaced) + " replaced, " +
           std::to_string(counts.alreadyReplaced) + " already replaced, " +
           std::to_string(counts.notFound) + " not found, " + std::to_string(counts.skipped) +
           " skipped, " + std::to_string(counts.inConflict) + " in conflict" + unlisted + "; " +
           archivesPart(archives, run);
}

} // namespace

std::string unlistedPart(const ModListing& mod) {
    const std::size_t folders = mod.unlisted.size();
    return folders == 0 ? ""
                        : "; " + std::to_string(folders) + (folders == 1 ? " folder" : " folders") +
                              " could not be listed";
}

void printListing(const ModListing& mod, const std::function<std::string(std::size_t)>& linesOf) {
    // Both lists are in byte order of their paths; a folder's line stands where its files would.
    std::size_t folder = 0;
    for (std::size_t i = 0; i < mod.textures.size(); ++i) {
        for (; folder < mod.unlisted.size() &&
               mod.unlisted[folder].path + "/" < mod.textures[i].texture.name;
             ++folder)
            print(lineFor(mod.unlisted[folder]) + "\n");
        print(linesOf(i));
    }
    for (; folder < mod.unlisted.size(); ++folder)
        print(lineFor(mod.unlisted[folder]) + "\n");
}

void printModReport(const ModListing& mod, const std::vector<ModArchive>& archives,
                    const ModRun& run) {
    printListing(mod, [&](std::size_t i) { return linesFor(mod, archives, i, run.game); });
    print(summaryOf(mod, archives, run) + "\n");
}

} // namespace dyeloom
