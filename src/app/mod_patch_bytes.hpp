// The bytes a mod's patch checks and writes, read from the textures' files as the spans are
// written, and the comparison that lets textures whose spans overlap be written as one span.
#pragma once

#include "archive_writer.hpp"
#include "digest.hpp"
#include "mod_textures.hpp"

#include <cstdint>
#include <vector>

namespace dyeloom {

// A texture's span in one archive.
struct TexturePart {
    const ModTexture* texture = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Whether the modded data of `a` and `b` is the same wherever their spans overlap, read from
// their files. Throws TextureChanged when a file is not the one searched any more.
[[nodiscard]] bool moddedAgree(const TexturePart& a, const TexturePart& b);

// Each span of the patch is the union of the parts of one group, in the archive's order: the
// archive's bytes under each part must have the digest of that texture's original data as it was
// searched, and each part's modded data, read now, must have the digest it had then and agree
// with the parts it overlaps.
class ModPatchBytes final : public PatchBytes {
public:
    explicit ModPatchBytes(std::vector<std::vector<TexturePart>> spans);

    // The spans to hand the writer: each group's union.
    [[nodiscard]] std::vector<PatchSpan> spans() const;

    void prepare() override;
    bool holdsExpected(std::size_t span, std::uint64_t at, Bytes piece) override;
    void readReplacement(std::size_t span, std::uint64_t at, MutableBytes into) override;

private:
    // A part's bytes within the piece of span `span` from `at`, as offsets into the piece.
    struct Overlap {
        std::size_t from = 0, to = 0;
        bool starts = false, ends = false; // the piece holds the part's first, or last, byte
    };
    [[nodiscard]] Overlap overlapOf(std::size_t span, std::size_t part, std::uint64_t at,
                                    std::size_t pieceBytes) const;

    std::vector<std::vector<TexturePart>> spans_;
    std::vector<Digest> expected_, replacement_; // of the span under way, a part each
    std::vector<os::File> modded_;               // the modded files of the span under way
    ByteBuffer scratch_;
};

} // namespace dyeloom
