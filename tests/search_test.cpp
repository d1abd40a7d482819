// The search must give the reference scan's answer, on inputs shaped to send the sampling stage
// into its fallbacks and the index to leave out most of a needle. (The stages below sampling
// are also checked alone against the reference scan by the locate fuzzer.)
#include "search.hpp"
#include "search/sampling_plan.hpp"
#include "support/byte_gen.hpp"
#include "support/checked_reader.hpp"
#include "support/reference_scan.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace dyeloom {
namespace {

using test::ByteGen;
using test::CheckedReader;

std::optional<std::size_t> sampled(Bytes haystack, Bytes needle) {
    CheckedReader reader(haystack);
    return findFirst(haystack, needle, &reader);
}

// Where a search for `needle` alone samples: 0 when it reads every byte.
std::size_t spacingFor(Bytes needle) {
    return MultiSearch(std::span(&needle, 1)).geometry().spacingBytes;
}

void expectReference(const ByteBuffer& hay, const ByteBuffer& needle, const std::string& what) {
    ASSERT_EQ(sampled(hay, needle), test::referenceFind(hay, needle))
        << what << ": needle " << needle.size() << " bytes, haystack " << hay.size();
}

// Texture-like needles: noise in rows with transparent (zero) margins of varying width, as a
// sprite on an empty background, or data of two byte values.
ByteBuffer withBlankAreas(ByteGen& gen, std::size_t size) {
    ByteBuffer bytes = gen.random(size);
    const std::size_t row = 64 << gen.below(5);
    for (std::size_t at = 0; at < size; at += row) {
        const std::size_t margin = gen.below(row / 2);
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), std::min(size - at, margin),
                    0);
        const std::size_t right = std::min(size, at + row);
        std::fill(bytes.begin() +
                      static_cast<std::ptrdiff_t>(right - std::min(right - at, margin / 2)),
                  bytes.begin() + static_cast<std::ptrdiff_t>(right), 0);
    }
    return bytes;
}

ByteBuffer twoValued(ByteGen& gen, std::size_t size) {
    ByteBuffer bytes(size);
    std::uint8_t value = 0;
    for (auto& byte : bytes)
        byte = value = gen.below(3) == 0 ? static_cast<std::uint8_t>(value ^ 0xFF) : value;
    return bytes;
}

// A distinct needle planted at every offset in turn: any gap in the sampling's coverage of
// candidate offsets shows up as a missed or later match. The needles with blank areas leave
// out many entries of the index, so they try the spacing chosen around the gaps; a second copy
// after the first, met by the samples sooner, tries that the search goes on until no lower
// offset can turn up.
TEST(Sampled, FindsANeedlePlantedAtEveryOffset) {
    ByteGen gen(14);
    for (std::size_t size : {1, 7, 255, 256, 257, 263, 300, 1000, 1023, 2000}) {
        for (const bool blank : {false, true}) {
            const ByteBuffer needle = blank ? withBlankAreas(gen, size) : gen.random(size);
            const ByteBuffer background = gen.random(4 * size + 40, 251); // far from the needle
            for (std::size_t at = 0; at + size <= background.size(); ++at) {
                ByteBuffer hay = background;
                if (const std::size_t later = at + size + gen.below(size); blank)
                    gen.plant(hay, needle, later, true);
                std::copy(needle.begin(), needle.end(),
                          hay.begin() + static_cast<std::ptrdiff_t>(at));
                expectReference(hay, needle,
                                std::string(blank ? "blank areas" : "noise") + " planted at " +
                                    std::to_string(at));
            }
        }
    }
}

// Inputs where near misses are the rule: small alphabets; needles mostly of one value among near
// copies (the sampling stage sees candidates everywhere and must hand over, repeatedly);
// texture-like needles among decoys that share their blank areas or their two values.
TEST(Sampled, AgreesOnNearMisses) {
    ByteGen gen(12);
    for (int round = 0; round < 2000; ++round) {
        ByteBuffer needle, hay;
        const std::uint8_t fill = gen.below(2) ? 0 : static_cast<std::uint8_t>(gen.below(256));
        switch (round % 3) {
        case 0:
            needle = gen.shaped(1 + gen.below(gen.below(2) ? 12 : 700));
            hay = gen.shaped(gen.below(6000));
            break;
        case 1:
            needle.assign(256 + gen.below(2000), fill);
            for (std::size_t i = gen.below(4); i > 0; --i)
                needle[needle.size() - 1 - gen.below(needle.size() / 4 + 1)] =
                    static_cast<std::uint8_t>(fill + 1 + gen.below(3));
            hay.assign(needle.size() * (1 + gen.below(20)), fill);
            break;
        default:
            needle = gen.below(2) ? withBlankAreas(gen, 256 + gen.below(3000))
                                  : twoValued(gen, 256 + gen.below(3000));
            hay = twoValued(gen, needle.size() * (1 + gen.below(20)));
            break;
        }
        for (std::size_t i = gen.below(round % 3 == 0 ? 4 : 20); i > 0 && !hay.empty(); --i)
            gen.plant(hay, needle, gen.below(hay.size()), gen.below(4) == 0);
        expectReference(hay, needle, "round " + std::to_string(round));
    }
}

// Plans worked out by hand from small tables of informative entries (1) and others (0).
TEST(SamplingPlan, MeetsEveryCandidateWithTheShortestBlocksThatDo) {
    using search_stages::planWithSpacing;
    using search_stages::SamplingPlan;
    const auto flags = [](std::size_t entries, auto informative) {
        std::vector<std::uint8_t> table(entries);
        for (std::size_t e = 0; e < entries; ++e)
            table[e] = informative(e) ? 1 : 0;
        return table;
    };
    const auto expect = [](std::optional<SamplingPlan> plan, std::size_t block, std::size_t lag) {
        ASSERT_TRUE(plan);
        EXPECT_EQ(plan->blockEntries, block);
        EXPECT_EQ(plan->lagBytes, lag); // one entry past the last class's first informative one
    };
    // Every class has an informative entry: blocks of one sample; class 15's first is entry 15.
    expect(planWithSpacing(flags(64, [](auto) { return true; }), 16), 1, 128);
    // Odd classes have none: runs of one class without, so blocks of two; class 14's is last.
    expect(planWithSpacing(flags(64, [](auto e) { return e % 2 == 0; }), 16), 2, 120);
    // The worked example of sampling_plan.hpp: blocks of three every four entries would sample
    // three quarters of the haystack.
    EXPECT_FALSE(planWithSpacing(flags(12, [](auto e) { return e == 1 || e == 5 || e == 6; }), 4));
    // Blocks of two every 15 entries would sample more than an eighth of the haystack.
    EXPECT_FALSE(planWithSpacing(flags(60, [](auto e) { return e < 15 && e % 2 == 0; }), 15));
    // No informative entry, or one in eight classes: nothing to plan.
    EXPECT_FALSE(planWithSpacing(flags(64, [](auto) { return false; }), 16));
    EXPECT_FALSE(planWithSpacing(flags(64, [](auto e) { return e == 0; }), 8));
    // A plan's cost per byte: its block's cost plus its samples, over its spacing.
    EXPECT_TRUE(search_stages::cheaper({100, 4, 0}, {50, 1, 0}));
    EXPECT_FALSE(search_stages::cheaper({100, 256, 0}, {50, 1, 0}, search_stages::readBlockCost));
}

// Blank areas and few byte values must not shrink the sampling's spacing to nothing: the
// spacing is what keeps the search from reading the whole archive.
TEST(Sampling, KeepsAWideSpacingOnTextureLikeNeedles) {
    ByteGen gen(15);
    const std::pair<const char*, ByteBuffer> needles[] = {
        {"noise", gen.random(64 << 10)},
        {"blank areas", withBlankAreas(gen, 64 << 10)},
        {"two values", twoValued(gen, 64 << 10)}};
    for (const auto& [name, needle] : needles) {
        EXPECT_GE(spacingFor(needle), needle.size() / 8) << name;
    }
    // Zeros and a few other bytes leave nothing to sample with.
    ByteBuffer mostlyZero(64 << 10, 0);
    std::fill_n(mostlyZero.end() - 16, 16, 0x41);
    EXPECT_EQ(spacingFor(mostlyZero), 0U);
}

// Sampling must go on until no lower candidate can turn up, however the archive is cut into
// stretches: a periodic needle whose samples meet its later copy
// first (blank areas leave the earlier one's first blocks without an informative gram) must
// still be found at its first. The needle is planted at every offset of one spacing period,
// with a second, overlapping copy one period later.
TEST(Sampling, FindsTheFirstOccurrenceUnderEveryReadPlan) {
    ByteGen gen(19);
    ByteBuffer period = gen.random(1555);
    std::fill_n(period.begin(), 1200, 0);
    ByteBuffer needle(4576);
    for (std::size_t i = 0; i < needle.size(); ++i)
        needle[i] = period[i % period.size()];
    const std::size_t spacing = spacingFor(needle);
    ASSERT_NE(spacing, 0U);
    const ByteBuffer background = gen.random(6 * needle.size(), 251);
    for (std::size_t at = 0; at < spacing; ++at) {
        ByteBuffer hay = background;
        for (const std::size_t copy : {at, at + period.size()})
            std::copy(needle.begin(), needle.end(),
                      hay.begin() + static_cast<std::ptrdiff_t>(copy));
        const auto expected = test::referenceFind(hay, needle);
        ASSERT_EQ(findFirst(hay, needle), expected) << "no reader, planted at " << at;
        for (const std::size_t stretch : {std::size_t{0}, at + 1, needle.size() / 3}) {
            CheckedReader reader(hay, stretch);
            ASSERT_EQ(findFirst(hay, needle, &reader), expected)
                << "planted at " << at << ", stretches of " << stretch;
        }
    }
}

// A batch finds each needle where it alone would be found, whatever else the batch holds: needles
// of every size and shape (too short to sample, plain, periodic, noise, shared by two needles),
// each planted exactly or damaged, once, twice or not at all, some overlapping others, searched
// with and without a reader that cuts stretches.
TEST(MultiSearch, FindsEachNeedleWhereItAloneWouldBeFound) {
    ByteGen gen(21);
    for (int round = 0; round < 12; ++round) {
        ByteBuffer hay = gen.random(std::size_t{1} << (18 + gen.below(3)), 200 + gen.below(57));
        std::vector<ByteBuffer> owned;
        for (std::size_t i = 0, count = 1 + gen.below(40); i < count; ++i) {
            const std::size_t size = std::size_t{1} << gen.below(16);
            switch (gen.below(4)) {
            case 0:
                owned.push_back(gen.shaped(size));
                break;
            case 1:
                owned.push_back(withBlankAreas(gen, size + gen.below(size)));
                break;
            case 2:
                owned.push_back(i > 0 ? owned[gen.below(i)] : gen.random(size));
                break;
            default:
                owned.push_back(gen.random(size + gen.below(9)));
            }
        }
        for (const ByteBuffer& needle : owned)
            for (std::size_t copies = gen.below(3); copies > 0 && needle.size() < hay.size();
                 --copies)
                gen.plant(hay, needle, gen.below(hay.size() - needle.size()), gen.below(4) > 0);
        const std::vector<Bytes> needles(owned.begin(), owned.end());
        MultiSearch search(needles);
        CheckedReader reader(hay, gen.below(2) == 0 ? 0 : 1 + gen.below(hay.size() / 3));
        const auto found = gen.below(2) == 0 ? search.findAll(hay) : search.findAll(hay, &reader);
        ASSERT_EQ(found.size(), needles.size());
        for (std::size_t i = 0; i < needles.size(); ++i)
            ASSERT_EQ(found[i], test::referenceFind(hay, needles[i]))
                << "round " << round << ", needle " << i << " of " << needles[i].size() << " bytes";
    }
}

// A mod of many short textures: too short to sample, they are probed together in one pass. Each
// is found where it alone would be: needles nested in others, sharing a start with others, equal
// to others, periodic or blank (scanned instead), planted exactly or damaged, across stretches.
TEST(MultiSearch, FindsManyShortNeedlesInOnePass) {
    ByteGen gen(24);
    for (int round = 0; round < 3; ++round) {
        ByteBuffer hay = gen.random(std::size_t{1} << 19, 200 + gen.below(57));
        std::vector<ByteBuffer> owned;
        std::vector<std::size_t> periods;
        for (std::size_t i = 0; i < 300; ++i) {
            const std::size_t size = i == 1 ? 37 : 38 + gen.below(gen.below(4) == 0 ? 220 : 80);
            const ByteBuffer* other = i > 0 ? &owned[gen.below(i)] : nullptr;
            ByteBuffer needle = gen.random(size);
            // (The first two stay noise: they are planted at the haystack's ends.)
            if (const std::size_t shape = i > 1 ? gen.below(8) : 8; shape == 0) // nested in another
                needle.assign(other->begin() + gen.below(other->size() / 2), other->end());
            else if (shape == 1) // sharing another's start
                std::copy_n(other->begin(), std::min(other->size(), size) / 2, needle.begin());
            else if (shape == 2)
                needle = *other;
            else if (shape == 3)
                needle = gen.shaped(size);
            else if (shape == 4) // periodic, planted twice a period apart: two overlapping copies
                for (std::size_t at = periods.emplace_back(17 + gen.below(24)); at < size; ++at)
                    needle[at] = needle[at - periods.back()];
            if (periods.size() == i)
                periods.push_back(0);
            owned.push_back(std::move(needle));
        }
        for (std::size_t i = 0; i < owned.size(); ++i)
            for (std::size_t copies = gen.below(3); copies > 0; --copies) {
                const std::size_t at = gen.below(hay.size() - 2 * owned[i].size());
                gen.plant(hay, owned[i], at, gen.below(4) > 0);
                if (periods[i] != 0)
                    gen.plant(hay, owned[i], at + periods[i], true);
            }
        // The first offset a needle can have, and the last the shortest one can.
        gen.plant(hay, owned[0], 0, true);
        gen.plant(hay, owned[1], hay.size() - owned[1].size(), true);
        const std::vector<Bytes> needles(owned.begin(), owned.end());
        CheckedReader reader(hay, round == 0 ? hay.size() : 1 + gen.below(hay.size() / 4));
        const auto found = MultiSearch(needles).findAll(hay, &reader);
        for (std::size_t i = 0; i < needles.size(); ++i)
            ASSERT_EQ(found[i], test::referenceFind(hay, needles[i]))
                << "round " << round << ", needle " << i << " of " << needles[i].size() << " bytes";
    }
}

// More needles than the index has room for whole: each is indexed in part, plain ones in larger
// parts, in groups of like plans planned afresh as their hardest members are found; each must
// still be found where it alone is (checked against the reference scan by the tests above).
TEST(MultiSearch, FindsEveryNeedleOfABatchLargerThanItsIndex) {
    ByteGen gen(23);
    ByteBuffer hay = gen.random(12 << 20);
    std::vector<ByteBuffer> owned;
    for (int i = 0; i < 240; ++i) {
        ByteBuffer needle = withBlankAreas(gen, (70 << 10) + gen.below(80 << 10));
        if (i % 10 == 0) // mostly blank: sampled from a larger part, or scanned
            std::fill(needle.begin(), needle.end() - static_cast<std::ptrdiff_t>(gen.below(3000)),
                      0);
        if (gen.below(4) == 0)
            gen.plant(hay, needle, gen.below(hay.size() - needle.size()), gen.below(5) > 0);
        owned.push_back(std::move(needle));
    }
    const std::vector<Bytes> needles(owned.begin(), owned.end());
    MultiSearch search(needles);
    CheckedReader reader(hay, 1 << 20);
    const auto found = search.findAll(hay, &reader);
    for (std::size_t i = 0; i < needles.size(); ++i)
        ASSERT_EQ(found[i], findFirst(hay, needles[i])) << "needle " << i;
}

// A needle is given up, and reported absent, once the needle it is given up with is found in an
// earlier stretch; it is still found when that one is not, and the progress reported ends with
// every needle found.
TEST(MultiSearch, GivesUpANeedleOnceTheOneItDependsOnIsFound) {
    ByteGen gen(22);
    ByteBuffer hay = gen.random(1 << 20);
    const ByteBuffer present = gen.random(9000), alsoPresent = gen.random(300),
                     absent = gen.random(5000);
    gen.plant(hay, present, 1000, true);
    gen.plant(hay, alsoPresent, 700000, true);
    const std::vector<Bytes> needles{present, alsoPresent, absent, alsoPresent};
    const std::vector<std::size_t> givenUpWhenFound{MultiSearch::neverGivenUp, 2, 3, 0};
    MultiSearch search(needles, givenUpWhenFound);
    CheckedReader reader(hay, 64 << 10);
    std::size_t searched = 0, foundSoFar = 0;
    const auto found = search.findAll(hay, &reader, [&](std::size_t bytes, std::size_t count) {
        EXPECT_GE(bytes, searched);
        searched = bytes;
        foundSoFar = count;
    });
    EXPECT_EQ(found,
              (std::vector<std::optional<std::size_t>>{1000, 700000, std::nullopt, std::nullopt}));
    EXPECT_EQ(foundSoFar, 2U);
}

} // namespace
} // namespace dyeloom
