// Every stage of the search must give the reference scan's answer, on inputs shaped to send the
// sampling stage into its fallbacks and the rare-byte stage into Two-Way.
#include "search.hpp"
#include "search_stages.hpp"
#include "support/byte_gen.hpp"
#include "support/reference_scan.hpp"

#include <functional>
#include <gtest/gtest.h>

namespace dyeloom {
namespace {

using test::ByteGen;

using Finder = std::function<std::optional<std::size_t>(std::span<const std::uint8_t>,
                                                        std::span<const std::uint8_t>)>;

struct Stage {
    const char* name;
    Finder find;
    friend void PrintTo(const Stage& stage, std::ostream* out) { *out << stage.name; }
};

std::optional<std::size_t> findUnsampled(Bytes haystack, Bytes needle) {
    if (needle.empty() || needle.size() > haystack.size())
        return std::nullopt;
    return search_stages::RareByteSearch(needle).find(haystack,
                                                      {0, haystack.size() - needle.size()});
}

std::optional<std::size_t> findTwoWay(Bytes haystack, Bytes needle) {
    if (needle.empty() || needle.size() > haystack.size())
        return std::nullopt;
    return TwoWay(needle).find(haystack);
}

class SearchStage : public ::testing::TestWithParam<Stage> {
protected:
    void expectReference(const ByteBuffer& hay, const ByteBuffer& needle, const std::string& what) {
        ASSERT_EQ(GetParam().find(hay, needle), test::referenceFind(hay, needle))
            << what << ": needle " << needle.size() << " bytes, haystack " << hay.size();
    }
};

TEST_P(SearchStage, HandlesTheBoundaries) {
    const ByteBuffer needle{1, 2, 3};
    expectReference({}, needle, "empty haystack");
    expectReference({1, 2, 3}, {}, "empty needle");
    expectReference({1, 2}, needle, "haystack shorter");
    expectReference({1, 2, 3}, needle, "equal");
    expectReference({0, 1, 2, 3}, needle, "at the end");
    expectReference({1, 2, 3, 0}, needle, "at the start");
    expectReference({1, 2, 1, 2, 3, 1, 2, 3}, needle, "after a partial match");
}

TEST_P(SearchStage, AgreesOnSmallAlphabets) {
    ByteGen gen(11);
    for (int round = 0; round < 4000; ++round) {
        const ByteBuffer needle = gen.shaped(1 + gen.below(gen.below(2) ? 12 : 700));
        ByteBuffer hay = gen.shaped(gen.below(6000));
        for (int i = 0; i < 3 && !hay.empty(); ++i)
            gen.plant(hay, needle, gen.below(hay.size()), gen.below(3) == 0);
        expectReference(hay, needle, "round " + std::to_string(round));
    }
}

// A distinct needle planted at every offset in turn: any gap in the sampling's coverage of
// candidate offsets shows up as a missed or later match.
TEST_P(SearchStage, FindsANeedlePlantedAtEveryOffset) {
    ByteGen gen(14);
    for (std::size_t size : {1, 7, 255, 256, 257, 263, 300, 1000, 1023}) {
        const ByteBuffer needle = gen.random(size);
        const ByteBuffer background = gen.random(3 * size + 40, 251); // far from the needle
        for (std::size_t at = 0; at + size <= background.size(); ++at) {
            ByteBuffer hay = background;
            std::copy(needle.begin(), needle.end(), hay.begin() + static_cast<std::ptrdiff_t>(at));
            ASSERT_EQ(GetParam().find(hay, needle), test::referenceFind(hay, needle))
                << "needle " << size << " planted at " << at;
        }
    }
}

// Long needles made mostly of one repeated value, in haystacks of the same value with near
// copies: the sampling stage sees candidates everywhere and must hand over, repeatedly.
TEST_P(SearchStage, AgreesOnRepetitiveData) {
    ByteGen gen(12);
    for (int round = 0; round < 200; ++round) {
        const std::uint8_t fill = gen.below(2) ? 0 : static_cast<std::uint8_t>(gen.below(256));
        ByteBuffer needle(256 + gen.below(2000), fill);
        for (std::size_t i = gen.below(4); i > 0; --i)
            needle[needle.size() - 1 - gen.below(needle.size() / 4 + 1)] =
                static_cast<std::uint8_t>(fill + 1 + gen.below(3));
        ByteBuffer hay(needle.size() * (1 + gen.below(30)), fill);
        for (std::size_t i = gen.below(20); i > 0; --i)
            gen.plant(hay, needle, gen.below(hay.size()), gen.below(5) == 0);
        expectReference(hay, needle, "round " + std::to_string(round));
    }
}

// Periodic needles in periodic haystacks: Two-Way's memory of a verified prefix matters here.
TEST_P(SearchStage, AgreesOnPeriodicData) {
    ByteGen gen(13);
    for (int round = 0; round < 600; ++round) {
        const ByteBuffer period =
            gen.random(1 + gen.below(9), 2 + static_cast<unsigned>(gen.below(2)));
        ByteBuffer needle(period.size() * (1 + gen.below(80)) + gen.below(period.size()));
        for (std::size_t i = 0; i < needle.size(); ++i)
            needle[i] = period[i % period.size()];
        if (needle.empty())
            needle.push_back(period[0]);
        if (gen.below(2))
            needle[gen.below(needle.size())] ^= 1;
        ByteBuffer hay(needle.size() * (1 + gen.below(30)) + gen.below(50));
        const std::size_t shift = gen.below(period.size());
        for (std::size_t i = 0; i < hay.size(); ++i)
            hay[i] = period[(i + shift) % period.size()];
        for (std::size_t i = gen.below(3); i > 0 && !hay.empty(); --i)
            hay[gen.below(hay.size())] ^= 1;
        expectReference(hay, needle, "round " + std::to_string(round));
    }
}

// The benchmark's adversarial shape in miniature: zeros, then zeros ending in a few values.
TEST_P(SearchStage, FindsANeedleBehindLongZeroRuns) {
    for (std::size_t size : {300, 1000, 4096, 70000}) {
        ByteBuffer needle(size, 0);
        for (std::size_t i = 0; i < 16; ++i)
            needle[size - 16 + i] = static_cast<std::uint8_t>(i + 1);
        const std::size_t at = size * 9 + 77;
        ByteBuffer hay(at, 0);
        hay.insert(hay.end(), needle.begin(), needle.end());
        hay.push_back(0);
        EXPECT_EQ(GetParam().find(hay, needle), at) << size;
        hay.resize(hay.size() - 2); // the last value cut off: no match
        EXPECT_EQ(GetParam().find(hay, needle), std::nullopt) << size;
    }
}

INSTANTIATE_TEST_SUITE_P(AllStages, SearchStage,
                         ::testing::Values(Stage{"Sampled", findFirst},
                                           Stage{"RareByteThenTwoWay", findUnsampled},
                                           Stage{"TwoWay", findTwoWay}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace dyeloom
