#include "install.hpp"

#include "archive_reader.hpp"
#include "texture_patch.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// A texture in conflict with several others names the first found.
void markConflict(Texture& texture, const Texture& other) {
    if (texture.outcome == Outcome::Conflict)
        return;
    texture.outcome = Outcome::Conflict;
    texture.detail = other.name;
}

// Two textures whose spans overlap cannot both be written, and which one the user meant is not
// for the tool to guess: neither is.
void markConflicts(std::vector<Texture*>& replaced, std::span<const TextureSplice> splices) {
    std::vector<std::size_t> order(replaced.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return splices[a].archiveOffset < splices[b].archiveOffset;
    });
    std::optional<std::size_t> reaching; // the span that reaches furthest so far
    std::uint64_t reach = 0;
    for (const std::size_t i : order) {
        const std::uint64_t end = splices[i].archiveOffset + splices[i].replaced.size();
        if (reaching && splices[i].archiveOffset < reach) {
            markConflict(*replaced[i], *replaced[*reaching]);
            markConflict(*replaced[*reaching], *replaced[i]);
        }
        if (!reaching || end > reach) {
            reaching = i;
            reach = end;
        }
    }
}

} // namespace

Recovery installTextures(const std::string& archivePath, const FileView& archive,
                         std::vector<Texture>& textures, std::int32_t headerBytes,
                         const InstallOptions& options, os::StopSignals& signals) {
    std::vector<Texture*> pending;
    for (Texture& texture : textures)
        if (texture.outcome == Outcome::Pending)
            pending.push_back(&texture);
    // The originals first, then the modded textures, each given up once its original is found.
    std::vector<Bytes> needles;
    std::vector<std::size_t> partners;
    for (const Texture* texture : pending) {
        needles.push_back(texture->original->bytes());
        partners.push_back(MultiSearch::noPartner);
    }
    if (options.lookForModded)
        for (std::size_t i = 0; i < pending.size(); ++i) {
            needles.push_back(pending[i]->modded->bytes());
            partners.push_back(i);
        }
    ArchiveReader reader(archive);
    const auto found = findTextureOffsets(archive.bytes(), needles, headerBytes, &reader, partners,
                                          options.progress);
    requireIntact(archive, archivePath);
    for (const Texture* texture : pending) {
        requireIntact(*texture->original, texture->originalPath);
        if (options.lookForModded)
            requireIntact(*texture->modded, texture->moddedPath);
    }

    std::vector<Texture*> replaced;
    std::vector<TextureSplice> splices;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        Texture& texture = *pending[i];
        if (found[i]) {
            texture.outcome = Outcome::Replaced;
            if (!texture.modded)
                texture.modded.emplace(
                    viewFile(std::move(*texture.moddedFile), ReadPattern::Whole));
            splices.push_back(spliceTexture(texture.original->bytes(), texture.modded->bytes(),
                                            headerBytes, *found[i]));
            texture.archiveOffset = splices.back().archiveOffset;
            replaced.push_back(&texture);
        } else {
            const bool modded = options.lookForModded && found[pending.size() + i];
            texture.outcome = modded ? Outcome::AlreadyReplaced : Outcome::NotFound;
        }
    }
    markConflicts(replaced, splices);
    std::vector<SpanPatch> spans;
    for (std::size_t i = 0; i < replaced.size(); ++i)
        if (replaced[i]->outcome == Outcome::Replaced)
            spans.push_back(
                {splices[i].archiveOffset, splices[i].replaced, splices[i].replacement});
    if (spans.empty())
        return {};
    std::sort(spans.begin(), spans.end(),
              [](const SpanPatch& a, const SpanPatch& b) { return a.offset < b.offset; });
    return writeArchive(archivePath, spans, signals);
}

} // namespace dyeloom
