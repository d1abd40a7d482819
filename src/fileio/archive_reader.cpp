#include "archive_reader.hpp"

#include <algorithm>
#include <array>

namespace dyeloom {
namespace {

// The first stretch is short, so that the plan is corrected by measured costs early; later
// ones are long enough that planning them costs nothing next to reading them.
constexpr std::size_t firstStretchBytes = std::size_t{16} << 20;
constexpr std::size_t laterStretchBytes = std::size_t{64} << 20;
// Blocks in a stretch at the least, whatever the spacing: enough windows of blocks to time.
constexpr std::size_t minStretchBlocks = 256;
// How many of a stretch's sample pages are asked whether they are cached: one system call
// each, so few; enough to tell a cached archive from one that is not.
constexpr std::size_t probedBlocks = 16;
// A stretch whose sample pages are all cached but for this share is read in place, unannounced.
constexpr double cachedEnough = 0.9;
// Below this share of uncached pages a stretch's time says little about the disk.
constexpr double uncachedToLearn = 0.5;
// A page, for counting the pages a block of samples touches.
constexpr std::size_t pageBytes = 4096;
// A new measurement weighs this much against what was learnt before.
constexpr double learningRate = 0.5;
// During a pass the disk is kept this far ahead of the search, asked for this much at a time:
// requests large enough to stream, and enough of them queued to keep the disk busy.
constexpr std::size_t passAheadBytes = std::size_t{32} << 20;
constexpr std::size_t passRequestBytes = std::size_t{8} << 20;

using Clock = std::chrono::steady_clock;

} // namespace

double ReadPlanner::uncachedByteNs(ReadPlan plan, const SearchGeometry& geometry) const {
    if (plan == ReadPlan::Pass)
        return costs_.uncachedPassByte;
    // A search that reads every byte (spacing 0) has no samples to pick: sampling it is a pass
    // one page at a time.
    if (geometry.spacingBytes == 0)
        return costs_.uncachedBlock;
    const double pagesPerBlock = 1 + static_cast<double>(geometry.blockBytes) / pageBytes;
    return costs_.uncachedBlock * pagesPerBlock / static_cast<double>(geometry.spacingBytes);
}

double ReadPlanner::expectedNs(ReadPlan plan, const SearchGeometry& geometry, std::size_t bytes,
                               double cachedShare) const {
    if (plan == ReadPlan::Cached)
        return 0;
    const double correction = plan == ReadPlan::Pass ? passCorrection_ : sampledCorrection_;
    return (1 - cachedShare) * static_cast<double>(bytes) * uncachedByteNs(plan, geometry) *
           correction;
}

ReadPlan ReadPlanner::plan(const SearchGeometry& geometry, std::size_t bytes,
                           std::optional<double> cachedShare) {
    const double cached = cachedShare.value_or(0);
    if (cached >= cachedEnough)
        last_ = ReadPlan::Cached;
    else
        last_ = expectedNs(ReadPlan::Pass, geometry, bytes, cached) <
                        expectedNs(ReadPlan::Sampled, geometry, bytes, cached)
                    ? ReadPlan::Pass
                    : ReadPlan::Sampled;
    predicted_ = last_ != ReadPlan::Cached && 1 - cached >= uncachedToLearn
                     ? (1 - cached) * static_cast<double>(bytes) * uncachedByteNs(last_, geometry)
                     : 0;
    return last_;
}

void ReadPlanner::learn(double spentNs) {
    if (predicted_ <= 0)
        return;
    double& correction = last_ == ReadPlan::Pass ? passCorrection_ : sampledCorrection_;
    correction = (1 - learningRate) * correction + learningRate * spentNs / predicted_;
    predicted_ = 0;
}

ArchiveReader::ArchiveReader(const FileView& archive, ReadCosts costs)
    : archive_(archive), planner_(costs) {}

void ArchiveReader::willRead(std::span<const Bytes> parts) {
    if (plan_ == ReadPlan::Sampled)
        archive_.prefetch(parts);
    else if (plan_ == ReadPlan::Pass && !parts.empty())
        readAhead(static_cast<std::size_t>(parts.front().data() - archive_.bytes().data()));
}

bool ArchiveReader::copy(Bytes part, MutableBytes into) {
    // A positioned read costs more than a touch of a cached page, and a pass has read it.
    return plan_ == ReadPlan::Sampled && archive_.copy(part, into);
}

void ArchiveReader::readAhead(std::size_t position) {
    const Bytes all = archive_.bytes();
    const std::size_t until = std::min(all.size(), position + passAheadBytes);
    readAheadUntil_ = std::max(readAheadUntil_, position);
    while (readAheadUntil_ < until) {
        const Bytes request =
            all.subspan(readAheadUntil_, std::min(passRequestBytes, all.size() - readAheadUntil_));
        archive_.prefetch(std::span(&request, 1));
        readAheadUntil_ += request.size();
    }
}

std::optional<double> ArchiveReader::cachedShare(std::size_t from, std::size_t bytes,
                                                 const SearchGeometry& geometry) const {
    const Bytes all = archive_.bytes();
    std::array<Bytes, probedBlocks> probes;
    std::size_t count = 0;
    const std::size_t step = std::max<std::size_t>(bytes / probedBlocks, 1);
    const std::size_t probeBytes = std::max<std::size_t>(geometry.blockBytes, 1);
    for (std::size_t at = from; count < probedBlocks && at < all.size(); at += step)
        probes[count++] = all.subspan(at, std::min(probeBytes, all.size() - at));
    const auto resident = archive_.countResident(std::span(probes).first(count));
    if (!resident || count == 0)
        return std::nullopt;
    return static_cast<double>(*resident) / static_cast<double>(count);
}

std::size_t ArchiveReader::nextStretch(std::size_t from, const SearchGeometry& geometry) {
    if (stretches_++ > 0)
        planner_.learn(std::chrono::duration<double, std::nano>(Clock::now() - began_).count());
    const std::size_t size = archive_.bytes().size();
    const std::size_t left = std::max<std::size_t>(size - std::min(size, from), 1);
    const std::size_t stretch =
        std::min(left, std::max(stretches_ == 1 ? firstStretchBytes : laterStretchBytes,
                                minStretchBlocks * geometry.spacingBytes));
    plan_ = planner_.plan(geometry, stretch, cachedShare(from, stretch, geometry));
    if (plan_ == ReadPlan::Pass)
        readAhead(from);
    bytesBy_[static_cast<int>(plan_)] += stretch;
    began_ = Clock::now();
    return stretch;
}

} // namespace dyeloom
