// The search by fingerprints must give the reference scan's answer for every texture of a batch,
// whatever their shapes and sizes together, and never take a place whose keys match a texture's
// but whose data does not.
#include "fingerprint/fingerprint_search.hpp"
#include "support/byte_gen.hpp"
#include "support/checked_reader.hpp"
#include "support/reference_scan.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace dyeloom {
namespace {

using test::ByteGen;
using test::CheckedReader;

// Texture-like data: rows of noise, some wholly blank (transparent), some one flat colour
// repeated (a block of 8 or 16 bytes), as emblems and flat areas are stored.
ByteBuffer withPlainRows(ByteGen& gen, std::size_t size) {
    ByteBuffer bytes = gen.random(size);
    const std::size_t row = 16 + gen.below(200);
    for (std::size_t at = 0; at < size; at += row) {
        const std::size_t kind = gen.below(4);
        const std::size_t block = gen.below(2) == 0 ? 8 : 16;
        for (std::size_t i = at; i < std::min(size, at + row) && kind < 2; ++i)
            bytes[i] = kind == 0 ? 0 : bytes[at + (i - at) % block];
    }
    return bytes;
}

// One needle of each shape a batch must cope with, drawn from `hay` or made anew.
ByteBuffer shapedNeedle(ByteGen& gen, const ByteBuffer& hay, std::vector<ByteBuffer>& others) {
    const std::size_t size = std::size_t{1} << (4 + gen.below(10)); // 16 bytes to 8 KiB
    const std::size_t length = std::min(hay.size() / 2, size + gen.below(size));
    switch (gen.below(9)) {
    case 0: // inside another needle
        if (!others.empty() && others.back().size() > 20) {
            const ByteBuffer& outer = others.back();
            const std::size_t from = gen.below(outer.size() / 2);
            return ByteBuffer(outer.begin() + static_cast<std::ptrdiff_t>(from), outer.end());
        }
        return gen.random(length);
    case 1: // equal to another
        return others.empty() ? gen.random(64) : others.back();
    case 2: // sharing a start with another, another end
        if (!others.empty()) {
            ByteBuffer shared = others.back();
            shared.resize(shared.size() / 2);
            const ByteBuffer tail = gen.random(length);
            shared.insert(shared.end(), tail.begin(), tail.end());
            return shared;
        }
        return gen.random(length);
    case 3: // periodic, or blank throughout
        return gen.shaped(length);
    case 4: { // a flat colour of 1 to 16 bytes, alone or followed by a mip chain's last levels
        const ByteBuffer colour = gen.random(1 + gen.below(16), 2);
        ByteBuffer flat(length);
        for (std::size_t i = 0; i < length; ++i)
            flat[i] = colour[i % colour.size()];
        const ByteBuffer tail = gen.random(gen.below(2) * gen.below(200));
        flat.insert(flat.end(), tail.begin(), tail.end());
        return flat;
    }
    case 5: // 64 bytes, or shorter than a key
        return gen.random(gen.below(2) == 0 ? 64 : 1 + gen.below(15));
    case 6: // at either end of the haystack
        return gen.below(2) == 0 ? ByteBuffer(hay.begin(), hay.begin() + 100)
                                 : ByteBuffer(hay.end() - 100, hay.end());
    default:
        return withPlainRows(gen, length);
    }
}

struct Batch {
    std::vector<ByteBuffer> needles;
    std::vector<Fingerprint> prints;
};

// Fingerprints of `needles`, each made from pieces cut at random, with windows of at most
// `maxStride` keys (0: a bound drawn for each needle, so that a batch has windows of every width).
Batch fingerprinted(std::vector<ByteBuffer> needles, std::size_t maxStride, ByteGen& gen) {
    Batch batch{std::move(needles), {}};
    for (const ByteBuffer& needle : batch.needles) {
        FingerprintMaker maker(maxStride != 0 ? maxStride : std::size_t{1} << gen.below(10));
        for (std::size_t at = 0; at < needle.size();) {
            const std::size_t piece = std::min(needle.size() - at, 1 + gen.below(40000));
            maker.add(Bytes(needle).subspan(at, piece));
            at += piece;
        }
        batch.prints.push_back(maker.finish());
    }
    return batch;
}

std::vector<std::optional<std::size_t>>
searchBatch(const Batch& batch, Bytes hay, HaystackReader* reader, std::size_t threads = 1) {
    const FingerprintSearch search(batch.prints, {}, threads);
    return search.findAll(
        hay, [&](std::size_t i) { return batch.needles[i]; }, reader);
}

TEST(FingerprintSearch, FindsEveryNeedleOfABatchWhereTheReferenceScanDoes) {
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        ByteGen gen(seed);
        ByteBuffer hay = seed % 2 == 0 ? withPlainRows(gen, 40000 + gen.below(60000))
                                       : gen.shaped(40000 + gen.below(60000));
        std::vector<ByteBuffer> needles;
        for (std::size_t k = 0; k < 12; ++k)
            needles.push_back(shapedNeedle(gen, hay, needles));
        for (const ByteBuffer& needle : needles)
            for (std::size_t copies = gen.below(4); copies-- > 0;)
                gen.plant(hay, needle, gen.below(hay.size()), gen.below(3) != 0);
        const Batch batch =
            fingerprinted(needles, seed % 3 == 1 ? 0 : std::size_t{1} << gen.below(10), gen);
        CheckedReader reader(hay, seed % 3 == 0 ? 1 + gen.below(5000) : 0);
        // Every fourth, unplanned: one stretch, its probes shared among threads.
        const auto found = seed % 4 == 0 ? searchBatch(batch, hay, nullptr, 1 + seed % 3)
                                         : searchBatch(batch, hay, &reader);
        for (std::size_t k = 0; k < needles.size(); ++k)
            EXPECT_EQ(found[k], test::referenceFind(hay, needles[k]))
                << "seed " << seed << ", needle " << k << " of " << needles[k].size() << " bytes";
    }
}

// Places that hold a texture's window, and the keys checked around it, but not its data: one
// byte changed past the window, the last byte changed, or the data cut short. Planted before the
// real place, few or many (enough to hand the texture to the search by bytes), none is taken.
TEST(FingerprintSearch, NeverTakesAPlaceWhoseKeysMatchButWhoseDataDoesNot) {
    for (const std::size_t decoys : {1, 3, 200}) {
        ByteGen gen(decoys);
        const ByteBuffer texture = gen.random(4096);
        const Batch batch = fingerprinted({texture}, 64, gen);
        const Fingerprint& print = batch.prints.front();
        ASSERT_EQ(print.stride(), 64u);
        ByteBuffer hay = gen.random(decoys * 5000 + 10000);
        for (std::size_t d = 0; d < decoys; ++d) {
            ByteBuffer decoy = texture;
            const std::size_t past = print.windowStart + print.stride() + 16;
            if (d % 3 == 0)
                decoy[past + gen.below(decoy.size() - past)] ^= 1;
            else if (d % 3 == 1)
                decoy.back() ^= 0x80;
            else
                decoy.resize(past + gen.below(decoy.size() - past));
            gen.plant(hay, decoy, d * 5000 + gen.below(100), true);
        }
        const std::size_t real = decoys * 5000 + 3000 + gen.below(1000);
        gen.plant(hay, texture, real, true);
        CheckedReader reader(hay);
        EXPECT_EQ(searchBatch(batch, hay, &reader).front(), real) << decoys << " decoys";
    }
}

// One search, its tables built once, over several haystacks: each texture's first occurrence in
// each, a needle given up where the one it depends on is found, and a texture at every offset of
// a stride.
TEST(FingerprintSearch, FindsEachTextureInEveryHaystackOfAGame) {
    ByteGen gen(7);
    const ByteBuffer original = gen.random(3000), modded = gen.random(3000);
    Batch batch = fingerprinted({original, modded}, 512, gen);
    const std::size_t givenUp[] = {FingerprintSearch::neverGivenUp, 0};
    const FingerprintSearch search(batch.prints, givenUp);
    const auto needleBytes = [&](std::size_t i) { return batch.needles[i]; };
    for (std::size_t at = 0; at < 600; at += 37) {
        ByteBuffer first = gen.random(20000), second = gen.random(9000);
        gen.plant(first, original, at + 5000, true);
        gen.plant(first, original, at + 11000, true);
        gen.plant(first, modded, at, true);
        gen.plant(second, modded, at + 100, true);
        const auto inFirst = search.findAll(first, needleBytes);
        EXPECT_EQ(inFirst[0], at + 5000);
        EXPECT_EQ(inFirst[1], std::nullopt) << "given up once the original is found";
        const auto inSecond = search.findAll(second, needleBytes);
        EXPECT_EQ(inSecond[0], std::nullopt);
        EXPECT_EQ(inSecond[1], at + 100);
    }
}

// Data of a 16-byte pattern whose phases 5 and 6 have one and the same key (the pattern was found
// by trying patterns until two phases agreed), alone or followed by detail: the probe that meets
// a run of it finds the texture whichever of the two phases it holds, and whichever of their
// entries the table gives first.
TEST(FingerprintSearch, FindsAPatternWhosePhasesShareAKey) {
    const ByteBuffer pattern = {0x45, 0xd5, 0xb2, 0x20, 0xab, 0x53, 0x87, 0x50,
                                0x60, 0x53, 0xf8, 0x8a, 0x9e, 0x6d, 0x0d, 0x6b};
    ByteGen gen(13);
    for (const std::size_t tail : {0, 30}) {
        ByteBuffer texture;
        for (int copy = 0; copy < 4; ++copy)
            texture.insert(texture.end(), pattern.begin(), pattern.end());
        const ByteBuffer detail = gen.random(tail);
        texture.insert(texture.end(), detail.begin(), detail.end());
        const Batch batch = fingerprinted({texture}, 512, gen);
        const Fingerprint& print = batch.prints.front();
        ASSERT_EQ(print.period, pattern.size());
        ASSERT_EQ(print.keys[5], print.keys[6]);
        for (std::size_t at = 1000; at < 1000 + 2 * print.stride(); ++at) {
            ByteBuffer hay = gen.random(3000);
            gen.plant(hay, texture, at, true);
            EXPECT_EQ(searchBatch(batch, hay, nullptr).front(), at)
                << "at " << at << ", " << tail << " bytes of detail";
        }
    }
}

// Window keys of data that differs by the same bits four bytes apart, as pixels of a picture often
// do, differ: each such pair would otherwise propose the other's places.
TEST(Fingerprint, WindowKeysOfDataThatDiffersInARepeatedPatternDiffer) {
    ByteGen gen(17);
    for (int round = 0; round < 200; ++round) {
        ByteBuffer data = gen.random(32);
        const std::size_t at = gen.below(12);
        const auto bits = static_cast<std::uint8_t>(1 + gen.below(255));
        ByteBuffer other = data;
        other[at] ^= bits;
        other[at + 4] ^= bits;
        EXPECT_NE(windowKeyAt(data.data()), windowKeyAt(other.data())) << "round " << round;
    }
}

// A fingerprint is the same however its data arrives, keeps at most its bound of keys whatever
// the texture's size, and takes its window past blank rows longer than one step of the search for
// it; flat data keeps a key for each phase of its pattern, and data too short for a key has none.
TEST(Fingerprint, IsBoundedAndFoundPastBlankRows) {
    ByteGen gen(11);
    ByteBuffer texture(100000, 0);
    const ByteBuffer detail = gen.random(texture.size() - 40000);
    std::copy(detail.begin(), detail.end(), texture.begin() + 40000);
    const Fingerprint whole = fingerprintOf(texture, 4096);
    EXPECT_EQ(whole.stride(), maxFingerprintStride);
    EXPECT_GE(whole.windowStart, 40000u - search_stages::keyBytes);
    const Batch pieces = fingerprinted({texture}, 4096, gen);
    EXPECT_EQ(pieces.prints[0].keys, whole.keys);
    EXPECT_EQ(pieces.prints[0].windowStart, whole.windowStart);
    EXPECT_EQ(pieces.prints[0].digest, Digest::of(texture));
    const Fingerprint flat = fingerprintOf(ByteBuffer(50000, 7), 512);
    EXPECT_EQ(flat.period, 1u);
    EXPECT_EQ(flat.keys.size(), 1u);
    EXPECT_TRUE(fingerprintOf(gen.random(15), 512).keys.empty());
}

} // namespace
} // namespace dyeloom
