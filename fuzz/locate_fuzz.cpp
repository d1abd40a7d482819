// Locate and splice against the reference scan. The input is split into a header count, one to
// sixteen original textures (enough short ones for the pass) and an archive, which all the
// textures are looked for in together, by their bytes and by their fingerprints. The
// stages below sampling (the rare-byte scan, Two-Way) are also run alone on each texture, so
// that each answers for itself rather than only where the sampling hands over to it.
#include "fingerprint/fingerprint_search.hpp"
#include "search/rare_byte.hpp"
#include "support/reference_scan.hpp"
#include "texture_patch.hpp"
#include "two_way.hpp"

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
    const std::size_t textureCount = 1 + (data[2] >> 1) % 16;
    const std::size_t plantAt = data[3];
    std::vector<ByteBuffer> originals;
    std::size_t used = 4;
    for (std::size_t k = 0; k < textureCount; ++k) {
        const std::size_t wanted = (data[1] + 37 * k) % 64 + (data[2] & 1 ? 256 : 0);
        const std::size_t take = std::min(wanted, size - used);
        originals.emplace_back(data + used, data + used + take);
        used += take;
    }
    ByteBuffer archive(data + used, data + size);
    // Copies of the textures' data planted where the input says, so that matches, near-misses
    // and overlaps between textures are common.
    for (std::size_t k = 0; k < textureCount && !archive.empty(); ++k) {
        if ((plantAt >> k) % 2 != 0)
            continue;
        const std::size_t at = (plantAt * (2 * k + 1)) % archive.size();
        for (std::size_t i = 0; i < originals[k].size() && at + i < archive.size(); ++i)
            archive[at + i] = originals[k][i];
    }

    // One batch holds every texture: each must be found where a naive search for it alone
    // finds it.
    AlternatingReader reader(1 + plantAt % 97);
    const std::vector<dyeloom::Bytes> textures(originals.begin(), originals.end());
    const auto found = dyeloom::findTextureOffsets(archive, textures, header, &reader);
    for (std::size_t k = 0; k < textureCount; ++k)
        if (found[k] != dyeloom::test::referenceOffset(archive, originals[k], header))
            std::abort();
    // The same batch by fingerprints alone, at a window width the input chooses.
    if (header >= 0 && static_cast<std::size_t>(header) < archive.size()) {
        std::vector<dyeloom::Fingerprint> prints;
        for (const ByteBuffer& original : originals)
            prints.push_back(dyeloom::fingerprintOf(dyeloom::textureData(original, header),
                                                    std::size_t{1} << data[1] % 10));
        const dyeloom::FingerprintSearch search(prints);
        AlternatingReader byPrints(1 + plantAt % 97);
        const auto byPrint = search.findAll(
            dyeloom::Bytes(archive).subspan(static_cast<std::size_t>(header)),
            [&](std::size_t k) {
                const dyeloom::Bytes data = dyeloom::textureData(originals[k], header);
                return ByteBuffer(data.begin(), data.end());
            },
            &byPrints);
        for (std::size_t k = 0; k < textureCount; ++k)
            if (byPrint[k] != dyeloom::test::referenceOffset(archive, originals[k], header))
                std::abort();
    }
    for (const ByteBuffer& original : originals) {
        if (original.empty() || original.size() > archive.size())
            continue;
        const auto expected = dyeloom::test::referenceFind(archive, original);
        if (dyeloom::TwoWay(original).find(archive) != expected ||
            dyeloom::search_stages::RareByteSearch(original).find(
                archive, {0, archive.size() - original.size()}) != expected)
            std::abort();
    }
    if (!found[0])
        return 0;

    const ByteBuffer& original = originals[0];
    ByteBuffer modded(original.size() + data[0] % 3, 0xA5);
    const dyeloom::TextureSplice splice =
        dyeloom::spliceTexture(original, modded, header, *found[0]);
    const auto h = static_cast<std::size_t>(header);
    if (splice.archiveOffset != *found[0] + h || splice.replaced.size() != original.size() - h ||
        splice.archiveOffset + splice.replaced.size() > archive.size() ||
        !std::equal(splice.replaced.begin(), splice.replaced.end(),
                    archive.begin() + static_cast<std::ptrdiff_t>(splice.archiveOffset)))
        std::abort();
    return 0;
}
