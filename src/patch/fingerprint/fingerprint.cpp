#include "fingerprint/fingerprint.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>

namespace dyeloom {
namespace {

using search_stages::keyAt;
using search_stages::keyBytes;
using search_stages::lookAheadBytes;

// The data is looked through for a window this many positions at a time: the telling test
// keeps a few words of state per byte it looks at, and most textures have their window in the
// first of these.
constexpr std::size_t lookStepBytes = std::size_t{16} << 10;
// Once some telling key has turned up, the data is looked through this much further for a wider
// window, and no more: a texture's detail is spread through it, so what a few steps past its
// blank rows do not hold, the rest rarely does, and looking through all of a large texture for a
// slightly wider window costs more than the probes it saves.
constexpr std::size_t lookPastDetailBytes = std::size_t{256} << 10;
// A window this much narrower than the widest is wide enough to stop looking: it probes the
// archive a few times as often, once in a hundred bytes or less, which costs less than looking
// through a large texture's data for a wider one (on the game-like set, a mod of 100 textures
// spent a third of a warm run choosing windows when only the widest would do).
constexpr std::size_t enoughShare = 4;
// A window this much narrower than the widest is poor enough for data periodic in part to be
// found by its pattern's runs instead.
constexpr std::size_t poorWindowShare = 8;

} // namespace

FingerprintMaker::FingerprintMaker(std::size_t maxStride, Look look)
    : maxStride_(std::clamp<std::size_t>(std::bit_floor(std::max<std::size_t>(maxStride, 1)), 1,
                                         maxFingerprintStride)),
      enoughStride_(look == Look::Widest ? maxStride_
                                         : std::max<std::size_t>(maxStride_ / enoughShare, 1)) {
    std::fill(std::begin(brokenAt_), std::end(brokenAt_), ~std::uint64_t{0});
}

void FingerprintMaker::add(Bytes piece) {
    digest_.add(piece);
    length_ += piece.size();
    checkPeriods(piece);
    if (windowFound_)
        return;
    pending_.insert(pending_.end(), piece.begin(), piece.end());
    lookForWindow(false);
}

void FingerprintMaker::lookForWindow(bool last) {
    std::size_t from = 0; // the first position of pending_ not looked at
    while (!windowFound_) {
        const std::size_t have = pending_.size() - from;
        if (have < keyBytes || (!last && have < lookStepBytes + lookAheadBytes))
            break;
        const std::size_t positions = std::min(lookStepBytes, have - keyBytes + 1);
        const Bytes step = Bytes(pending_).subspan(from);
        const search_stages::KeyRun run = telling_.longestRun(step, positions, maxStride_);
        const std::size_t width =
            std::min(maxStride_, run.length == 0 ? 0 : std::bit_floor(run.length));
        if (width > made_.keys.size()) {
            made_.windowStart = pendingAt_ + from + run.start;
            made_.keys.resize(width);
            for (std::size_t j = 0; j < width; ++j)
                made_.keys[j] = windowKeyAt(step.data() + run.start + j);
            windowFound_ = width >= enoughStride_;
        }
        from += positions;
        if (!made_.keys.empty())
            lookedPastDetail_ += positions;
        windowFound_ = windowFound_ || lookedPastDetail_ >= lookPastDetailBytes;
    }
    if (windowFound_) {
        ByteBuffer().swap(pending_);
        return;
    }
    // The positions looked at go; the bytes after them stay for the next step's keys.
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(from));
    pendingAt_ += from;
}

void FingerprintMaker::checkPeriods(Bytes piece) {
    const std::size_t headBytes = keyBytes + longestPeriod;
    if (head_.size() < headBytes)
        head_.insert(head_.end(), piece.begin(),
                     piece.begin() + static_cast<std::ptrdiff_t>(
                                         std::min(piece.size(), headBytes - head_.size())));
    // Most data leaves no period standing within its first bytes.
    const std::uint64_t pieceAt = length_ - piece.size();
    const std::size_t lastBytes = std::min(piece.size(), keyBytes);
    last_.insert(last_.end(), piece.end() - static_cast<std::ptrdiff_t>(lastBytes), piece.end());
    if (last_.size() > keyBytes)
        last_.erase(last_.begin(), last_.end() - static_cast<std::ptrdiff_t>(keyBytes));
    for (std::size_t i = 0; i < piece.size() && periods_ != 0; ++i) {
        const std::uint8_t byte = piece[i];
        for (std::uint32_t left = periods_; left != 0; left &= left - 1) {
            const std::size_t period = static_cast<std::size_t>(std::countr_zero(left)) + 1;
            const std::size_t back = tail_.size() + i; // bytes before this one that are known
            if (back >= period) {
                const std::uint8_t earlier =
                    i >= period ? piece[i - period] : tail_[tail_.size() - (period - i)];
                if (earlier != byte) {
                    periods_ &= ~(std::uint32_t{1} << (period - 1));
                    brokenAt_[period - 1] = pieceAt + i;
                }
            }
        }
    }
    if (periods_ == 0)
        return;
    tail_.insert(tail_.end(), piece.begin(), piece.end());
    if (tail_.size() > longestPeriod)
        tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(longestPeriod));
}

// The keys of each phase of the period that holds longest from the data's start, if that stretch
// holds a key of every phase and is probed at a wider stride than the window: a flat colour, or
// a flat colour followed by its mip chain's last levels, is found by the runs of its pattern.
void FingerprintMaker::makePeriodic() {
    std::size_t period = 0;
    std::uint64_t periodic = 0;
    for (std::size_t d = 1; d <= longestPeriod; ++d)
        if (std::min(brokenAt_[d - 1], length_) > periodic) {
            periodic = std::min(brokenAt_[d - 1], length_);
            period = d;
        }
    if (periodic < keyBytes + period)
        return;
    const auto stride = static_cast<std::size_t>(
        std::min<std::uint64_t>(maxStride_, std::bit_floor(periodic - keyBytes + 1)));
    // Data periodic in part keeps a window unless the window is far narrower: every run of its
    // colour in the archive, common colours included, is looked at whole for it.
    const std::size_t windowEnough = periodic == length_ ? 1 : maxStride_ / poorWindowShare;
    if (stride <= made_.keys.size() || (!made_.keys.empty() && made_.keys.size() >= windowEnough))
        return;
    made_.period = static_cast<std::uint32_t>(period);
    made_.periodicBytes = periodic;
    made_.probeStride = static_cast<std::uint32_t>(stride);
    made_.windowStart = 0;
    made_.keys.resize(period);
    for (std::size_t phase = 0; phase < period; ++phase)
        made_.keys[phase] = windowKeyAt(head_.data() + phase);
    made_.lastKey = keyAt(last_.data());
}

Fingerprint FingerprintMaker::finish() {
    lookForWindow(true);
    makePeriodic();
    made_.length = length_;
    made_.digest = digest_.value();
    made_.keys.shrink_to_fit();
    return std::move(made_);
}

namespace {

bool isWellFormedWindow(const Fingerprint& print, std::size_t maxStride) {
    if (print.probeStride != 0 || print.periodicBytes != 0)
        return false;
    if (print.keys.empty())
        return print.windowStart == 0;
    return std::has_single_bit(print.keys.size()) && print.keys.size() <= maxStride &&
           print.length >= keyBytes && print.windowStart <= print.length - keyBytes &&
           print.keys.size() - 1 <= print.length - keyBytes - print.windowStart;
}

bool isWellFormedPattern(const Fingerprint& print, std::size_t maxStride) {
    return print.period <= longestPeriod && print.keys.size() == print.period &&
           print.windowStart == 0 && print.periodicBytes <= print.length &&
           print.periodicBytes >= keyBytes + print.period &&
           std::has_single_bit(print.probeStride) && print.probeStride <= maxStride &&
           print.probeStride <= print.periodicBytes - keyBytes + 1;
}

} // namespace

bool isWellFormed(const Fingerprint& fingerprint, std::size_t maxStride) {
    return fingerprint.period == 0 ? isWellFormedWindow(fingerprint, maxStride)
                                   : isWellFormedPattern(fingerprint, maxStride);
}

Fingerprint fingerprintOf(Bytes data, std::size_t maxStride) {
    FingerprintMaker maker(maxStride);
    maker.add(data);
    return maker.finish();
}

} // namespace dyeloom
