#include "archive_reader.hpp"

#include <algorithm>
#include <array>
#include <chrono>

namespace dyeloom {
namespace {

// The first stretch is short, so that the plan is corrected by measured costs early: half a
// window of blocks, which a hard disk serves in a quarter of a second; later ones are long
// enough that planning them costs nothing next to reading them.
constexpr std::size_t firstStretchBytes = std::size_t{1} << 20;
constexpr std::size_t firstStretchBlocks = 32;
constexpr std::size_t laterStretchBytes = std::size_t{64} << 20;
// Blocks in a later stretch at the least, whatever the spacing: enough windows of them to time.
constexpr std::size_t minStretchBlocks = 256;
// How many of a stretch's sample pages are asked whether they are cached: one system call
// each, so few; enough to tell a cached archive from one that is not.
constexpr std::size_t probedBlocks = 16;
// A stretch whose sample pages are all cached but for this share is read in place, unannounced.
constexpr double cachedEnough = 0.9;
// Reads timed before a plan's cost is corrected: a window of blocks, or a few large reads.
constexpr std::size_t minTimedBlocks = 16;
constexpr std::size_t minTimedPassBytes = std::size_t{2} << 20;
// A pass read to time it: a few of its reads past those that set the disk going.
constexpr std::size_t triedPassBytes = std::size_t{4} << 20;
// Cached samples at least this far apart are copied out with positioned reads rather than
// read in place: a warm run on a 256 MiB archive sampled every 100 KiB took 21 ms in place and
// 11 ms copying them out; one sampled every 11 KB, 53 ms in place and 100 ms copying.
constexpr std::size_t sparseSpacing = std::size_t{64} << 10;
// A new measurement weighs this much against what was learnt before.
constexpr double learningRate = 0.5;
// A way of reading not yet timed is tried once the other has been, unless it is expected to
// cost more than this many times the other's timed cost: trying a pass here, where sampling was
// timed at 1.5 times the model, cost 100 ms of a 50 ms run (at 4).
constexpr double worthTrying = 2;
// During a pass the archive is read this far ahead of what the search has announced, in reads
// of this size: large enough that the disk streams (a readahead hint reads only its readahead
// window, 128 KiB on some file systems, and the search's own page faults would then seek), and
// small enough that the copy stays in the processor's cache.
constexpr std::size_t passAheadBytes = std::size_t{4} << 20;
constexpr std::size_t passReadBytes = std::size_t{1} << 20;

using Clock = std::chrono::steady_clock;

double nanosecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

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

double ReadPlanner::correction(ReadPlan plan) const {
    // A way not yet timed is taken to be off from the model by as much as the other: a disk
    // that differs from the model in one way likely differs in the other too.
    const bool pass = plan == ReadPlan::Pass;
    if (pass ? !passTimed_ && sampledTimed_ : !sampledTimed_ && passTimed_)
        return pass ? sampledCorrection_ : passCorrection_;
    return pass ? passCorrection_ : sampledCorrection_;
}

double ReadPlanner::expectedNs(ReadPlan plan, const SearchGeometry& geometry, std::size_t bytes,
                               double cachedShare) const {
    if (plan == ReadPlan::Cached)
        return 0;
    return (1 - cachedShare) * static_cast<double>(bytes) * uncachedByteNs(plan, geometry) *
           correction(plan);
}

ReadPlan ReadPlanner::plan(const SearchGeometry& geometry, std::size_t bytes,
                           std::optional<double> cachedShare) {
    const double cached = cachedShare.value_or(0);
    const double pass = expectedNs(ReadPlan::Pass, geometry, bytes, cached);
    const double sampled = expectedNs(ReadPlan::Sampled, geometry, bytes, cached);
    trying_ = false;
    if (cached >= cachedEnough)
        return ReadPlan::Cached;
    // The way not yet timed is timed too if it is expected to come close, being only guessed.
    if (passTimed_ != sampledTimed_ &&
        (passTimed_ ? sampled < worthTrying * pass : pass < worthTrying * sampled)) {
        trying_ = true;
        return passTimed_ ? ReadPlan::Sampled : ReadPlan::Pass;
    }
    return pass < sampled ? ReadPlan::Pass : ReadPlan::Sampled;
}

void ReadPlanner::learn(double& correction, bool& timed, double ratio) {
    correction = timed ? (1 - learningRate) * correction + learningRate * ratio : ratio;
    timed = true;
}

void ReadPlanner::timedSampledBlock(double ns, const SearchGeometry& geometry) {
    if (geometry.spacingBytes == 0)
        return;
    const double modelled =
        uncachedByteNs(ReadPlan::Sampled, geometry) * static_cast<double>(geometry.spacingBytes);
    learn(sampledCorrection_, sampledTimed_, ns / modelled);
}

void ReadPlanner::timedPassByte(double ns) {
    learn(passCorrection_, passTimed_, ns / costs_.uncachedPassByte);
}

ArchiveReader::ArchiveReader(const FileView& archive, ReadCosts costs)
    : archive_(archive), planner_(costs) {}

void ArchiveReader::willRead(std::span<const Bytes> parts) {
    if (plan_ == ReadPlan::Sampled) {
        // The search announces a window ahead; what lies past this stretch is announced again
        // in the next one, which may be read another way.
        const Bytes all = archive_.bytes();
        std::size_t inStretch = 0;
        while (inStretch < parts.size() &&
               static_cast<std::size_t>(parts[inStretch].data() - all.data()) < stretchEnd_)
            ++inStretch;
        const auto start = Clock::now();
        archive_.prefetch(parts.first(inStretch));
        sampledNs_ += nanosecondsSince(start);
    } else if (plan_ == ReadPlan::Pass && !parts.empty()) {
        const Bytes last = parts.back();
        readAhead(static_cast<std::size_t>(last.data() + last.size() - archive_.bytes().data()));
    }
}

bool ArchiveReader::copy(Bytes part, MutableBytes into) {
    // A pass has read the page already. A cached one is read in place where samples are dense;
    // sparse ones cost less as a positioned read, since a first touch of the mapping maps a
    // whole run of pages around the sample, and unmaps them at the end.
    if (plan_ == ReadPlan::Pass || (plan_ == ReadPlan::Cached && spacing_ < sparseSpacing))
        return false;
    if (plan_ == ReadPlan::Cached)
        return archive_.copy(part, into);
    const auto start = Clock::now();
    const bool copied = archive_.copy(part, into);
    // Blocks a pass has read already say nothing about the disk.
    if (static_cast<std::size_t>(part.data() - archive_.bytes().data()) >= readAheadUntil_) {
        sampledNs_ += nanosecondsSince(start);
        ++sampledBlocks_;
    }
    return copied;
}

void ArchiveReader::readAhead(std::size_t until) {
    const Bytes all = archive_.bytes();
    until = std::min(all.size(), until + passAheadBytes);
    scratch_.resize(passReadBytes);
    while (readAheadUntil_ < until) {
        const Bytes piece =
            all.subspan(readAheadUntil_, std::min(passReadBytes, all.size() - readAheadUntil_));
        // Only the page cache is wanted: the search reads the pages in place.
        const auto start = Clock::now();
        if (!archive_.copy(piece, MutableBytes(scratch_).first(piece.size())))
            return;
        passNs_ += nanosecondsSince(start);
        passBytes_ += piece.size();
        readAheadUntil_ += piece.size();
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

void ArchiveReader::reportTimes(const SearchGeometry& geometry) {
    // The first reads of a plan set the disk going; too few of them say little.
    if (sampledBlocks_ >= minTimedBlocks)
        planner_.timedSampledBlock(sampledNs_ / static_cast<double>(sampledBlocks_), geometry);
    if (passBytes_ >= minTimedPassBytes)
        planner_.timedPassByte(passNs_ / static_cast<double>(passBytes_));
    sampledNs_ = passNs_ = 0;
    sampledBlocks_ = passBytes_ = 0;
}

std::size_t ArchiveReader::nextStretch(std::size_t from, const SearchGeometry& geometry) {
    ++stretches_;
    reportTimes(geometry);
    const std::size_t size = archive_.bytes().size();
    const std::size_t left = std::max<std::size_t>(size - std::min(size, from), 1);
    const std::size_t longStretch =
        std::min(left, std::max(laterStretchBytes, minStretchBlocks * geometry.spacingBytes));
    spacing_ = geometry.spacingBytes;
    const ReadPlan previous = plan_;
    plan_ = planner_.plan(geometry, longStretch, cachedShare(from, longStretch, geometry));
    if ((plan_ == ReadPlan::Pass) != (previous == ReadPlan::Pass))
        archive_.expectInOrder(plan_ == ReadPlan::Pass);
    // A stretch read to time a plan is short: enough blocks, or enough large reads, to time.
    // Sampled blocks that a pass has read already time nothing, so a sampled one reaches past
    // them.
    std::size_t stretch = longStretch;
    if (stretches_ == 1 || planner_.trying())
        stretch = std::min(left, plan_ == ReadPlan::Pass
                                     ? triedPassBytes
                                     : readAheadUntil_ - std::min(readAheadUntil_, from) +
                                           std::max(firstStretchBytes,
                                                    firstStretchBlocks * geometry.spacingBytes));
    if (plan_ == ReadPlan::Pass) {
        readAheadUntil_ = std::max(readAheadUntil_, from);
        readAhead(from);
    }
    bytesBy_[static_cast<int>(plan_)] += stretch;
    stretchEnd_ = from + stretch;
    return stretch;
}

} // namespace dyeloom
