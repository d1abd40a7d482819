#include "mod_report.hpp"

#include "output.hpp"
#include "shown_name.hpp"

#include <algorithm>

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

} // namespace dyeloom
