#include "mod_install.hpp"

#include "archive_lock_wait.hpp"
#include "archive_reader.hpp"
#include "archive_state.hpp"
#include "game_writer.hpp"
#include "header_bytes.hpp"
#include "mod_patch_bytes.hpp"
#include "mod_report.hpp"
#include "mod_textures.hpp"
#include "os_process.hpp"
#include "progress_line.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// What a texture became in the run as a whole, from what it became in each archive: the rule of
// the pass that reads its modded data, and of the counts.
Outcome overallOutcome(std::span<const Outcome> outcomes) {
    for (const Outcome wanted : {Outcome::Replaced, Outcome::Conflict, Outcome::AlreadyReplaced})
        if (std::find(outcomes.begin(), outcomes.end(), wanted) != outcomes.end())
            return wanted;
    return Outcome::NotFound;
}

void settleOverall(ModListing& mod, const std::vector<ModArchive>& archives) {
    std::vector<Outcome> outcomes(archives.size());
    for (std::size_t i = 0; i < mod.textures.size(); ++i) {
        Texture& texture = mod.textures[i].texture;
        if (texture.outcome == Outcome::Skipped)
            continue;
        for (std::size_t a = 0; a < archives.size(); ++a)
            outcomes[a] = archives[a].found[i].outcome;
        texture.outcome = overallOutcome(outcomes);
    }
}

// What texture `i` became in one archive, from what the search found there: its original's data
// is Replaced (or already in place, where its modded data is the same), its modded data found is
// AlreadyReplaced.
Finding findingOf(const ModFingerprints& prints, std::size_t i,
                  const std::vector<std::optional<std::size_t>>& found, std::uint64_t header) {
    const std::size_t original = prints.originalOf[i], modded = prints.moddedOf[i];
    if (original == ModFingerprints::none)
        return {};
    const bool moddedFound = modded != ModFingerprints::none && found[modded];
    if (found[original] && modded != ModFingerprints::none)
        return {*found[original] + header, prints.fingerprints[original].length, Finding::none,
                Outcome::Replaced};
    return {0, 0, Finding::none,
            found[original] || moddedFound ? Outcome::AlreadyReplaced : Outcome::NotFound};
}

// Searches every archive for every texture of the mod by its fingerprints, one pass over each
// archive, with the search's tables built once for all of them.
void searchMod(ModListing& mod, const ModFingerprints& prints, std::span<const FileView> views,
               std::vector<ModArchive>& archives, std::int32_t headerBytes) {
    std::uint64_t total = 0;
    for (const FileView& view : views)
        total += view.bytes().size();
    ProgressLine progress(total, mod.textures.size());
    const FingerprintSearch search(prints.fingerprints, prints.givenUpWhenFound,
                                   os::processorsToUse());
    const NeedleBytes needleBytes = [&](std::size_t f) {
        try {
            return readTextureData(mod.textures[prints.texture[f]], prints.modded[f] != 0);
        } catch (const std::runtime_error& error) {
            throw std::runtime_error(error.what() + archive_left::unchanged());
        }
    };
    std::uint64_t before = 0;
    std::size_t foundBefore = 0;
    for (std::size_t a = 0; a < archives.size(); ++a) {
        const Bytes archive = views[a].bytes();
        const auto header = static_cast<std::size_t>(std::max(headerBytes, 0));
        std::vector<std::optional<std::size_t>> found(prints.fingerprints.size());
        if (headerBytes >= 0 && header < archive.size()) {
            ArchiveReader reader(views[a]);
            found = search.findAll(archive.subspan(header), needleBytes, &reader,
                                   [&](std::size_t searched, std::size_t count) {
                                       progress.update(1, before + searched, foundBefore + count);
                                   });
        }
        requireIntact(views[a], archives[a].path);
        std::size_t foundHere = 0;
        for (std::size_t i = 0; i < mod.textures.size(); ++i) {
            archives[a].found[i] = findingOf(prints, i, found, header);
            foundHere += archives[a].found[i].outcome == Outcome::Replaced ? 1 : 0;
        }
        before += archive.size();
        foundBefore += foundHere;
    }
    settleOverall(mod, archives);
}

// The textures an archive's patch writes, as the grouping and the conflict rule take them, and
// where each stands in the listing.
struct Replaced {
    std::vector<Texture> textures;
    std::vector<std::size_t> indexes;

    explicit Replaced(const ModArchive& archive) {
        for (std::size_t i = 0; i < archive.found.size(); ++i) {
            const Finding& found = archive.found[i];
            if (found.outcome != Outcome::Replaced)
                continue;
            textures.push_back({});
            textures.back().outcome = found.outcome;
            textures.back().archiveOffset = found.archiveOffset;
            textures.back().spanBytes = found.spanBytes;
            indexes.push_back(i);
        }
    }
    [[nodiscard]] std::vector<Texture*> pointers() {
        std::vector<Texture*> all;
        for (Texture& texture : textures)
            all.push_back(&texture);
        return all;
    }
};

TexturePart partOf(const ModListing& mod, const ModArchive& archive, std::size_t i) {
    return {&mod.textures[i], archive.found[i].archiveOffset, archive.found[i].spanBytes};
}

// The parts of an archive's patch: the groups of its Replaced textures, each written as one span.
std::vector<std::vector<TexturePart>> partsOf(const ModListing& mod, const ModArchive& archive) {
    Replaced replaced(archive);
    std::vector<std::vector<TexturePart>> parts;
    for (const std::vector<std::size_t>& group : patchGroups(replaced.pointers())) {
        parts.emplace_back();
        for (const std::size_t k : group)
            parts.back().push_back(partOf(mod, archive, replaced.indexes[k]));
    }
    return parts;
}

void markArchiveConflicts(const ModListing& mod, ModArchive& archive) {
    Replaced replaced(archive);
    const std::vector<std::size_t>& at = replaced.indexes;
    markConflicts(replaced.pointers(), [&](std::size_t a, std::size_t b) {
        return moddedAgree(partOf(mod, archive, at[a]), partOf(mod, archive, at[b]));
    });
    for (std::size_t k = 0; k < at.size(); ++k) {
        const Texture& texture = replaced.textures[k];
        Finding& found = archive.found[at[k]];
        found.outcome = texture.outcome;
        if (texture.overlapping != nullptr)
            found.overlapping = static_cast<std::uint32_t>(
                at[static_cast<std::size_t>(texture.overlapping - replaced.textures.data())]);
    }
}

// Writes every archive's Replaced textures: one archive in one patch under its journal, several
// as one transaction.
std::vector<ArchiveRecovery> writeMod(const ModListing& mod, std::vector<ModArchive>& archives,
                                      RunArchives& run, std::span<const FileView> views,
                                      const BeforeWriting& beforeWriting,
                                      os::StopSignals& signals) {
    std::vector<GamePatch> patches;
    for (ModArchive& archive : archives) {
        std::vector<std::vector<TexturePart>> parts = partsOf(mod, archive);
        if (parts.empty())
            continue;
        auto bytes = std::make_unique<ModPatchBytes>(std::move(parts));
        patches.push_back({archive.path, bytes->spans(), std::move(bytes)});
    }
    if (patches.empty())
        return {};
    std::vector<std::string> written;
    for (const GamePatch& patch : patches)
        written.push_back(patch.path);
    run.locks.lockToWrite(written, archive_left::unchanged());
    if (beforeWriting)
        beforeWriting(archives, views);
    if (patches.size() == 1)
        return {{patches[0].path,
                 writeArchive(patches[0].path, patches[0].spans, *patches[0].bytes, signals)}};
    return writeGame(patches, signals);
}

} // namespace

RunArchives openRunArchives(const ModRun& run, os::StopSignals& signals) {
    // Held to the end of the run: no other run writes an archive between the search and the
    // write, nor while it is read.
    RunArchives opened{lockArchives(run.archives, run.checkOnly ? ArchiveLocks::Purpose::Check
                                                                : ArchiveLocks::Purpose::Patch),
                       {},
                       {},
                       {}};
    std::vector<std::string> settled; // the journals checked so far
    for (const std::string& path : run.archives) {
        if (run.checkOnly)
            printJournalFinding(inspectJournal(path, settled), path);
        else
            printRecovery(recoverUnderLock(opened.locks, path, signals), path);
    }
    releaseSignals(signals);

    // A file a pattern matches under two names (a link beside it) is one archive, patched once.
    for (const std::string& path : run.archives) {
        LoadableFile file = openToLoad(path, true);
        const auto& seen = opened.facts.identities;
        if (std::find(seen.begin(), seen.end(), file.identity) != seen.end())
            continue;
        opened.facts.identities.push_back(file.identity);
        opened.facts.size = std::max(opened.facts.size, file.size);
        opened.files.push_back(std::move(file));
        opened.paths.push_back(path);
    }
    return opened;
}

std::vector<ModArchive> installFingerprinted(ModListing& mod, const ModFingerprints& prints,
                                             RunArchives& opened, std::int32_t headerBytes,
                                             const ModRun& run, const BeforeWriting& beforeWriting,
                                             os::StopSignals& signals) {
    std::vector<ModArchive> archives;
    for (const std::string& path : opened.paths)
        archives.push_back({path, std::vector<Finding>(mod.textures.size())});
    std::vector<ArchiveRecovery> recoveries;
    if (!mod.textures.empty()) {
        std::vector<FileView> views;
        for (LoadableFile& file : opened.files)
            views.push_back(viewFile(std::move(file), ReadPattern::Sparse));
        searchMod(mod, prints, views, archives, headerBytes);
        try {
            for (ModArchive& archive : archives)
                markArchiveConflicts(mod, archive);
        } catch (const std::runtime_error& error) {
            throw std::runtime_error(error.what() + archive_left::unchanged());
        }
        settleOverall(mod, archives);
        if (!run.checkOnly)
            recoveries = writeMod(mod, archives, opened, views, beforeWriting, signals);
    }
    for (const auto& [path, recovery] : recoveries)
        printRecovery(recovery, path);
    return archives;
}

void installMod(const Arguments& args, const ModRun& run, os::StopSignals& signals) {
    RunArchives opened = openRunArchives(run, signals);
    const std::int32_t headerBytes = parseHeaderBytes(args.headerBytes);
    const ModFolders folders{openTextureFolder(args.original), openTextureFolder(args.modded)};
    ModListing mod = listMod(folders);
    const ModFingerprints prints = mod.textures.empty()
                                       ? ModFingerprints{}
                                       : fingerprintMod(mod, folders, opened.facts, headerBytes);
    const std::vector<ModArchive> archives =
        installFingerprinted(mod, prints, opened, headerBytes, run, {}, signals);
    printModReport(mod, archives, run);
}

} // namespace dyeloom
