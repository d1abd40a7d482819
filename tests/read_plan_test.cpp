// The read plan's choice for each kind of disk, and its correction by what the reads cost.
#include "archive_reader.hpp"

#include <gtest/gtest.h>

namespace dyeloom {
namespace {

// Costs of three kinds of disk, as the planner would learn them: this machine's virtual disk
// (the defaults), an NVMe drive (about 500,000 random reads a second with many in flight, 3
// GB/s in order) and a hard disk (an 8 ms seek, 150 MB/s in order).
const ReadCosts virtualDisk{};
const ReadCosts nvme{2000, 0.33};
const ReadCosts hardDisk{8e6, 6.7};

// Sampling geometries of real textures (bench/make_real_set.py): an 11 KB DXT1 texture, an 87
// KB DXT5 one, a 1.4 MB one, and a needle too plain to sample.
const SearchGeometry small{10936, 10816, 135};
const SearchGeometry median{87408, 43640, 207};
const SearchGeometry large{1398128, 349480, 455};
const SearchGeometry plain{20000, 0, 0};

constexpr std::size_t stretch = 64 << 20;

struct PlanCase {
    const char* name;
    ReadCosts costs;
    SearchGeometry geometry;
    std::optional<double> cached;
    ReadPlan expected;
    friend void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }
};

class PlanFor : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanFor, EachDiskAndTexture) {
    const PlanCase& c = GetParam();
    ReadPlanner planner(c.costs);
    EXPECT_EQ(planner.plan(c.geometry, stretch, c.cached), c.expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Disks, PlanFor, ::testing::Values(
    // Here a random page costs as much as 27 KB read in order: small textures are passed over,
    // others sampled.
    PlanCase{"virtual_small", virtualDisk, small, 0.0, ReadPlan::Pass},
    PlanCase{"virtual_median", virtualDisk, median, 0.0, ReadPlan::Sampled},
    PlanCase{"virtual_large", virtualDisk, large, std::nullopt, ReadPlan::Sampled},
    // An NVMe drive samples even the small ones; a hard disk reads in order all but the
    // largest spacings.
    PlanCase{"nvme_small", nvme, small, 0.0, ReadPlan::Sampled},
    PlanCase{"hard_disk_median", hardDisk, median, 0.0, ReadPlan::Pass},
    PlanCase{"hard_disk_large", hardDisk, large, 0.0, ReadPlan::Pass},
    PlanCase{"hard_disk_huge_spacing", hardDisk, {5592424, 5 << 20, 455}, 0.0, ReadPlan::Sampled},
    // What is cached is read in place on any disk; a plain needle reads every byte, in order.
    PlanCase{"cached", hardDisk, median, 0.95, ReadPlan::Cached},
    PlanCase{"half_cached", virtualDisk, small, 0.5, ReadPlan::Pass},
    PlanCase{"plain_needle", nvme, plain, 0.0, ReadPlan::Pass}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The model is only a start. What reads are seen to cost corrects it; once one way of reading
// has been timed, the other is tried on a short stretch unless the model rules it out, and from
// then on the cheaper of the two as timed is taken.
TEST(ReadPlanner, TimesBothWaysAndKeepsTheCheaper) {
    const auto block = [](const SearchGeometry& geometry, double times) {
        return times * virtualDisk.uncachedBlock * (1 + geometry.blockBytes / 4096.0);
    };
    // A hard disk behind the virtual disk's model: in order 22 times, a seek 1,000 times as
    // slow. A texture of wide spacing is sampled first; sampling proves dear, a pass is tried
    // and kept. A small texture's pass proves slower too, but sampling, taken to be as far off,
    // is not worth trying.
    ReadPlanner planner(virtualDisk);
    ASSERT_EQ(planner.plan(median, stretch, 0.0), ReadPlan::Sampled);
    planner.timedSampledBlock(block(median, 1000), median);
    EXPECT_EQ(planner.plan(median, stretch, 0.0), ReadPlan::Pass);
    EXPECT_TRUE(planner.trying());
    planner.timedPassByte(22 * virtualDisk.uncachedPassByte);
    EXPECT_EQ(planner.plan(median, stretch, 0.0), ReadPlan::Pass);
    EXPECT_FALSE(planner.trying());
    ReadPlanner smallFirst(virtualDisk);
    ASSERT_EQ(smallFirst.plan(small, stretch, 0.0), ReadPlan::Pass);
    smallFirst.timedPassByte(22 * virtualDisk.uncachedPassByte);
    EXPECT_EQ(smallFirst.plan(small, stretch, 0.0), ReadPlan::Pass);
    EXPECT_FALSE(smallFirst.trying());

    // Sampling that proves dearer than modelled gives way to a pass that costs what it should.
    ReadPlanner seeking(virtualDisk);
    ASSERT_EQ(seeking.plan(median, stretch, 0.0), ReadPlan::Sampled);
    seeking.timedSampledBlock(block(median, 8), median);
    EXPECT_EQ(seeking.plan(median, stretch, 0.0), ReadPlan::Pass);
    seeking.timedPassByte(virtualDisk.uncachedPassByte);
    EXPECT_EQ(seeking.plan(median, stretch, 0.0), ReadPlan::Pass);

    // A way the model expects to cost far more is not tried.
    ReadPlanner fast(virtualDisk);
    ASSERT_EQ(fast.plan(large, stretch, 0.0), ReadPlan::Sampled);
    fast.timedSampledBlock(block(large, 1), large);
    EXPECT_EQ(fast.plan(large, stretch, 0.0), ReadPlan::Sampled);
    EXPECT_FALSE(fast.trying());
}

} // namespace
} // namespace dyeloom
