#include "mod_patch_bytes.hpp"

#include "journal.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

std::uint64_t endOf(const TexturePart& part) {
    return part.offset + part.length;
}

} // namespace

bool moddedAgree(const TexturePart& a, const TexturePart& b) {
    const std::uint64_t from = std::max(a.offset, b.offset);
    const std::uint64_t to = std::min(endOf(a), endOf(b));
    const os::File fileA = reopenTexture(a.texture->modded);
    const os::File fileB = reopenTexture(b.texture->modded);
    ByteBuffer pieceA(
        static_cast<std::size_t>(std::min<std::uint64_t>(to - from, journalPieceBytes)));
    ByteBuffer pieceB(pieceA.size());
    for (std::uint64_t at = from; at < to;) {
        const auto bytes =
            static_cast<std::size_t>(std::min<std::uint64_t>(pieceA.size(), to - at));
        const MutableBytes intoA = MutableBytes(pieceA).first(bytes);
        const MutableBytes intoB = MutableBytes(pieceB).first(bytes);
        readTexture(a.texture->modded, fileA, a.texture->moddedAt + (at - a.offset), intoA);
        readTexture(b.texture->modded, fileB, b.texture->moddedAt + (at - b.offset), intoB);
        if (!std::equal(intoA.begin(), intoA.end(), intoB.begin()))
            return false;
        at += bytes;
    }
    return true;
}

ModPatchBytes::ModPatchBytes(std::vector<std::vector<TexturePart>> spans)
    : spans_(std::move(spans)), scratch_(journalPieceBytes) {}

std::vector<PatchSpan> ModPatchBytes::spans() const {
    std::vector<PatchSpan> spans;
    for (const std::vector<TexturePart>& parts : spans_) {
        std::uint64_t end = 0;
        for (const TexturePart& part : parts)
            end = std::max(end, endOf(part));
        spans.push_back({parts.front().offset, end - parts.front().offset});
    }
    return spans;
}

void ModPatchBytes::prepare() {
    // A modded file replaced, removed or resized since it was searched stops the patch before
    // anything is journalled.
    for (const std::vector<TexturePart>& parts : spans_)
        for (const TexturePart& part : parts)
            reopenTexture(part.texture->modded);
}

ModPatchBytes::Overlap ModPatchBytes::overlapOf(std::size_t span, std::size_t part,
                                                std::uint64_t at, std::size_t pieceBytes) const {
    const TexturePart& whole = spans_[span].front();
    const TexturePart& one = spans_[span][part];
    const std::uint64_t first = one.offset - whole.offset, end = first + one.length;
    const std::uint64_t pieceEnd = at + pieceBytes;
    if (end <= at || first >= pieceEnd)
        return {};
    const std::uint64_t from = std::max(first, at), to = std::min(end, pieceEnd);
    return {static_cast<std::size_t>(from - at), static_cast<std::size_t>(to - at), first >= at,
            end <= pieceEnd};
}

bool ModPatchBytes::holdsExpected(std::size_t span, std::uint64_t at, Bytes piece) {
    const std::vector<TexturePart>& parts = spans_[span];
    if (at == 0)
        expected_.assign(parts.size(), Digest());
    bool holds = true;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const Overlap overlap = overlapOf(span, i, at, piece.size());
        if (overlap.to == overlap.from)
            continue;
        expected_[i].add(piece.subspan(overlap.from, overlap.to - overlap.from));
        if (overlap.ends)
            holds = holds && expected_[i].value() == parts[i].texture->originalDigest;
    }
    return holds;
}

void ModPatchBytes::readReplacement(std::size_t span, std::uint64_t at, MutableBytes into) {
    const std::vector<TexturePart>& parts = spans_[span];
    if (at == 0) {
        replacement_.assign(parts.size(), Digest());
        modded_.clear();
        modded_.resize(parts.size());
    }
    std::size_t filled = 0; // the parts so far cover the piece up to here
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const Overlap overlap = overlapOf(span, i, at, into.size());
        if (overlap.to == overlap.from)
            continue;
        const ModTexture& texture = *parts[i].texture;
        if (overlap.starts)
            modded_[i] = reopenTexture(texture.modded);
        const std::size_t bytes = overlap.to - overlap.from;
        const MutableBytes read = MutableBytes(scratch_).first(bytes);
        const std::uint64_t intoPart = at + overlap.from - (parts[i].offset - parts[0].offset);
        readTexture(texture.modded, modded_[i], texture.moddedAt + intoPart, read);
        replacement_[i].add(read);
        // Where an earlier part wrote the bytes already, this one must hold the same.
        const std::size_t shared = std::min(filled, overlap.to) - std::min(filled, overlap.from);
        if (!std::equal(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(shared),
                        into.begin() + static_cast<std::ptrdiff_t>(overlap.from)))
            throw TextureChanged(texture.modded.shown);
        std::copy(read.begin() + static_cast<std::ptrdiff_t>(shared), read.end(),
                  into.begin() + static_cast<std::ptrdiff_t>(overlap.from + shared));
        filled = std::max(filled, overlap.to);
        if (!overlap.ends)
            continue;
        // Only read, and read whole: the texture's bytes are in hand.
        (void)modded_[i].close();
        if (replacement_[i].value() != texture.moddedDigest)
            throw TextureChanged(texture.modded.shown);
    }
}

} // namespace dyeloom
