// Locate and splice against the reference scan. The input is split into a header count, an
// original texture and an archive; a second copy of the texture's data is planted in the archive
// at a place the input chooses, so that matches, near-misses and overlaps are common.
#include "support/reference_scan.hpp"
#include "texture_patch.hpp"

#include <cstdlib>
#include <vector>

using ByteBuffer = std::vector<std::uint8_t>;

namespace {

// Copies every other block of samples it is asked for, so both of the search's routes run, and
// cuts the archive into stretches of the length the input chooses.
class AlternatingReader final : public dyeloom::HaystackReader {
public:
    explicit AlternatingReader(std::size_t stretch) : stretch_(stretch) {}
    void willRead(std::span<const dyeloom::Bytes>) override {}
    bool copy(dyeloom::Bytes part, dyeloom::MutableBytes into) override {
        if (into.size() != part.size() || ++calls_ % 2 == 0)
            return false;
        std::copy(part.begin(), part.end(), into.begin());
        return true;
    }
    std::size_t nextStretch(std::size_t, const dyeloom::SearchGeometry&) override {
        return stretch_;
    }

private:
    unsigned calls_ = 0;
    std::size_t stretch_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    const auto header = static_cast<std::int32_t>(static_cast<std::int8_t>(data[0])) % 40;
    const std::size_t originalSize = data[1] % 64 + (data[2] & 1 ? 256 : 0);
    const std::size_t plantAt = data[3];
    data += 4;
    size -= 4;
    const std::size_t take = std::min(originalSize, size);
    const ByteBuffer original(data, data + take);
    ByteBuffer archive(data + take, data + size);
    if (!archive.empty() && plantAt % 2 == 0) {
        const std::size_t at = plantAt % archive.size();
        for (std::size_t i = 0; i < original.size() && at + i < archive.size(); ++i)
            archive[at + i] = original[i];
    }

    AlternatingReader reader(1 + plantAt % 97);
    const auto found = dyeloom::findTextureOffset(archive, original, header, &reader);
    const auto expected = dyeloom::test::referenceOffset(archive, original, header);
    if (found != expected)
        std::abort();
    if (!found)
        return 0;

    ByteBuffer modded(original.size() + data[0] % 3, 0xA5);
    const dyeloom::TextureSplice splice = dyeloom::spliceTexture(original, modded, header, *found);
    const auto h = static_cast<std::size_t>(header);
    if (splice.archiveOffset != *found + h || splice.replaced.size() != original.size() - h ||
        splice.archiveOffset + splice.replaced.size() > archive.size() ||
        !std::equal(splice.replaced.begin(), splice.replaced.end(),
                    archive.begin() + static_cast<std::ptrdiff_t>(splice.archiveOffset)))
        std::abort();
    return 0;
}
