#include "mod_install.hpp"

#include "header_bytes.hpp"
#include "mod_report.hpp"
#include "mod_textures.hpp"
#include "progress_line.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// Searches the archive for every texture of the mod, a pass of them at a time: first their
// originals, then the modded data of those whose original was not found.
void searchMod(ModListing& mod, const ModFolders& folders, const ArchiveFacts& facts,
               const FileView& archive, const std::string& archivePath, std::int32_t headerBytes) {
    ProgressLine progress(facts.size, mod.textures.size());
    std::size_t foundBefore = 0, pass = 1;
    PassMemory memory;
    const PassLimits limits = passLimitsFor(mod, folders);
    for (const PassKind kind : {PassKind::Originals, PassKind::Modded})
        for (std::size_t from = 0; from < mod.textures.size(); ++pass) {
            const ModPass read =
                readPass(mod, from, folders, facts, headerBytes, kind, limits, memory);
            from = read.next;
            if (read.loaded.empty())
                break;
            searchTextures(archive, archivePath, read.loaded, headerBytes,
                           [&](std::size_t searched, std::size_t found) {
                               progress.update(pass, searched, foundBefore + found);
                           });
            for (const LoadedTexture& texture : read.loaded)
                foundBefore += texture.texture->outcome == Outcome::Replaced ? 1 : 0;
        }
}

// Writes every Replaced texture of the mod in one patch, reading each one's modded data from its
// file as the span is written.
Recovery writeMod(const ModListing& mod, const std::string& archivePath, std::int32_t headerBytes,
                  os::StopSignals& signals) {
    std::vector<const ModTexture*> replaced;
    for (const ModTexture& texture : mod.textures)
        if (texture.texture.outcome == Outcome::Replaced)
            replaced.push_back(&texture);
    if (replaced.empty())
        return {};
    std::sort(replaced.begin(), replaced.end(), [](const ModTexture* a, const ModTexture* b) {
        return a->texture.archiveOffset < b->texture.archiveOffset;
    });
    std::vector<PatchSpan> spans;
    for (const ModTexture* texture : replaced)
        spans.push_back({texture->texture.archiveOffset, texture->texture.spanBytes});
    ModPatchBytes bytes(std::move(replaced), headerBytes);
    return writeArchive(archivePath, spans, bytes, signals);
}

} // namespace

void installMod(const Arguments& args, os::StopSignals& signals) {
    printRecovery(recoverArchive(args.archive, signals), args.archive);
    releaseSignals(signals);

    LoadableFile archiveFile = openToLoad(args.archive);
    const std::int32_t headerBytes = parseHeaderBytes(args.headerBytes);
    const ModFolders folders{openTextureFolder(args.original), openTextureFolder(args.modded)};
    ModListing mod = listMod(folders);
    Recovery recovery;
    if (!mod.textures.empty()) {
        const ArchiveFacts facts{archiveFile.identity, archiveFile.size};
        const FileView archive = viewFile(std::move(archiveFile), ReadPattern::Sparse);
        searchMod(mod, folders, facts, archive, args.archive, headerBytes);
        std::vector<Texture*> textures;
        for (ModTexture& texture : mod.textures)
            textures.push_back(&texture.texture);
        markConflicts(textures);
        recovery = writeMod(mod, args.archive, headerBytes, signals);
    }
    printRecovery(recovery, args.archive);
    printModReport(mod, args.archive);
}

} // namespace dyeloom
