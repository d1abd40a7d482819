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

// The model is only a start: a plan whose stretches cost far more than it expected gives way to
// the other, and one that costs what it expected keeps its place.
TEST(ReadPlanner, SwitchesWhenAPlanProvesDearer) {
    ReadPlanner planner(virtualDisk);
    ASSERT_EQ(planner.plan(median, stretch, 0.0), ReadPlan::Sampled);
    // Random reads eight times as slow as expected (a disk that seeks).
    planner.learn(8 * planner.expectedNs(ReadPlan::Sampled, median, stretch, 0.0));
    EXPECT_EQ(planner.plan(median, stretch, 0.0), ReadPlan::Pass);
    planner.learn(planner.expectedNs(ReadPlan::Pass, median, stretch, 0.0));
    EXPECT_EQ(planner.plan(median, stretch, 0.0), ReadPlan::Pass);

    // A stretch that was mostly cached teaches nothing about the disk.
    ReadPlanner cachedFirst(virtualDisk);
    ASSERT_EQ(cachedFirst.plan(median, stretch, 0.8), ReadPlan::Sampled);
    cachedFirst.learn(1e12);
    EXPECT_EQ(cachedFirst.plan(median, stretch, 0.0), ReadPlan::Sampled);
}

} // namespace
} // namespace dyeloom
