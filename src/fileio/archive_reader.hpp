// How the search reads the archive: stretch by stretch, sampling it or reading it whole in
// order, whichever costs less on this disk and with what the page cache holds, as a database
// planner chooses between an index scan and a sequential scan.
#pragma once

#include "file_view.hpp"
#include "haystack_reader.hpp"

#include <cstdint>
#include <vector>

namespace dyeloom {

// What reading the archive costs, in nanoseconds, before any of it has been timed; the run
// corrects each figure by what its own reads cost. The defaults were measured on this
// project's 2-core virtual machine (a virtual disk cached by its host), on a 1 GiB archive of
// real textures (bench/run.sh).
struct ReadCosts {
    // A block of samples whose page comes from the disk, read among the 64 blocks of a window
    // whose reads are in flight together: 7.7 us here for pages 64 KiB apart, 8.9 us for 256
    // KiB; 29 us was seen on the same kind of machine on a several-GB archive. A hard disk's
    // seek costs about 8 ms.
    double uncachedBlock = 8000;
    // A byte read in order with large reads: 0.23 ns here (4.3 GB/s), 0.53 ns on a smaller
    // file; a hard disk's 150 MB/s is 6.7 ns.
    double uncachedPassByte = 0.3;
};

// The ways of reading a stretch of the archive.
enum class ReadPlan {
    Cached,  // its pages are in memory: read in place through the mapping, nothing announced
    Sampled, // its blocks of samples announced a window at a time, copied out with positioned
             // reads: the disk reads only their pages, out of order
    Pass,    // read whole in order with large reads a few MiB ahead of the search, then in place
};

// Chooses the plan of each stretch from the cost model and what the stretches before it cost.
// Pure: the reader measures, this decides, so that the choice can be tested for any disk.
class ReadPlanner {
public:
    explicit ReadPlanner(ReadCosts costs = {}) : costs_(costs) {}

    // The plan for `bytes` candidates of a search of `geometry`, `cachedShare` of whose sample
    // pages are in memory (nothing when unknown, taken as none).
    ReadPlan plan(const SearchGeometry& geometry, std::size_t bytes,
                  std::optional<double> cachedShare);
    // Whether the last plan was chosen to time it: one way of reading has been timed and this
    // one not, and the model does not rule it out. Its stretch should be short.
    [[nodiscard]] bool trying() const noexcept { return trying_; }
    // What reading the disk was seen to cost: a block of samples of `geometry` from the disk,
    // and a byte read in order. Each corrects its plan's cost from now on.
    void timedSampledBlock(double ns, const SearchGeometry& geometry);
    void timedPassByte(double ns);
    // The stretch's expected cost in nanoseconds under `plan`, corrections included.
    [[nodiscard]] double expectedNs(ReadPlan plan, const SearchGeometry& geometry,
                                    std::size_t bytes, double cachedShare) const;

private:
    [[nodiscard]] double uncachedByteNs(ReadPlan plan, const SearchGeometry& geometry) const;
    // Measured over modelled cost of a way of reading, as far as it is known.
    [[nodiscard]] double correction(ReadPlan plan) const;

    static void learn(double& correction, bool& timed, double ratio);

    ReadCosts costs_;
    bool trying_ = false;
    // Measured over predicted cost of each way of reading the disk, once timed.
    double sampledCorrection_ = 1;
    double passCorrection_ = 1;
    bool sampledTimed_ = false;
    bool passTimed_ = false;
};

// Serves the search's reads of one archive through its file view. Cached pages are read in
// place through the mapping, with no system call: a first touch there costs 0.15 us for 64 KiB
// (the kernel maps the pages around it), a positioned read of a block 0.8 us.
class ArchiveReader final : public HaystackReader {
public:
    explicit ArchiveReader(const FileView& archive, ReadCosts costs = {});

    void willRead(std::span<const Bytes> parts) override;
    bool copy(Bytes part, MutableBytes into) override;
    std::size_t nextStretch(std::size_t from, const SearchGeometry& geometry) override;

    // Candidate bytes read by each plan, for benchmarks and tests.
    [[nodiscard]] std::uint64_t bytesBy(ReadPlan plan) const noexcept {
        return bytesBy_[static_cast<int>(plan)];
    }

private:
    // The share of the stretch's sample pages that are cached, from a few of them; nothing
    // when the system does not say.
    [[nodiscard]] std::optional<double> cachedShare(std::size_t from, std::size_t bytes,
                                                    const SearchGeometry& geometry) const;
    // During a pass, reads the archive in order up to a little past `until`, so that the search
    // finds in memory whatever it touches before there.
    void readAhead(std::size_t until);

    // Passes what the reads of the last stretch cost on to the planner.
    void reportTimes(const SearchGeometry& geometry);

    const FileView& archive_;
    ReadPlanner planner_;
    ReadPlan plan_ = ReadPlan::Cached;
    std::size_t stretches_ = 0;
    std::size_t stretchEnd_ = 0; // one past the last candidate of the stretch under way
    std::size_t spacing_ = 0;    // between the search's blocks of samples
    // The time spent waiting for the disk in the last stretch, and what it brought.
    double sampledNs_ = 0, passNs_ = 0;
    std::size_t sampledBlocks_ = 0, passBytes_ = 0;
    std::size_t readAheadUntil_ = 0;
    std::vector<std::uint8_t> scratch_; // where a pass's reads land; only the cache is kept
    std::uint64_t bytesBy_[3] = {0, 0, 0};
};

} // namespace dyeloom
