#include "fingerprint/fingerprint_pass.hpp"

#include <algorithm>
#include <bit>
#include <exception>
#include <thread>

namespace dyeloom::fingerprint_stages {
namespace {

using search_stages::keyAt;
using search_stages::keyBytes;

// Keys of a candidate's window compared besides the one that proposed it, spread over the
// window: data that shares a key with a texture by chance, or one block of it, rarely shares
// three more at those distances, and comparing them costs less than a digest of the span.
constexpr std::size_t neighbourChecks = 3;
// A texture's candidates may waste this many digests of its length, and as many bytes as this
// many times what the pass has covered, before it is searched for by its bytes: what real
// archives waste is a few digests at most (a texture stored with one block changed), and data
// built to repeat the texture's window would otherwise cost a digest per probe.
constexpr std::uint64_t wastedLengths = 8;
constexpr std::uint64_t wastedPerCoveredByte = 2;
// Without a reader, the pass settles this much of the haystack at a time.
constexpr std::size_t unplannedStretchBytes = std::size_t{16} << 20;
// Probes are taken this many at a time: their keys first, with the filter's words asked for,
// then the lookups, so that the memory waits overlap.
constexpr std::size_t probeBatch = 32;
// While probing, the reader is told of the next bytes this far ahead.
constexpr std::size_t announceBytes = std::size_t{1} << 20;
// The widths are probed this much of the haystack at a time.
constexpr std::size_t cachedPieceBytes = std::size_t{16} << 10;

} // namespace

Pass::Pass(std::span<const Fingerprint> fingerprints, std::span<const std::size_t> givenUpWhenFound,
           std::span<const std::uint8_t> widths, const KeyTable& table, Bytes haystack,
           const NeedleBytes& needleBytes, std::size_t threads)
    : fingerprints_(fingerprints), givenUpWhenFound_(givenUpWhenFound), widths_(widths),
      table_(table), haystack_(haystack), needleBytes_(needleBytes), states_(fingerprints.size()),
      probers_(std::max<std::size_t>(threads, 1)) {
    for (Prober& prober : probers_)
        prober.runEnd.assign(fingerprints.size(), 0);
    unsettled_ = fingerprints.size();
    for (std::size_t i = 0; i < fingerprints.size(); ++i) {
        const Fingerprint& fingerprint = fingerprints[i];
        if (fingerprint.length == 0 || fingerprint.length > haystack.size())
            settleAbsent(i);
        else if (fingerprint.keys.empty())
            searchFromNowByBytes(i, 0, 0);
    }
}

std::vector<std::optional<std::size_t>> Pass::run(HaystackReader* reader,
                                                  const SearchProgress& progress) {
    for (std::size_t from = 0; from < haystack_.size() && unsettled_ > 0;) {
        const std::size_t stretch =
            reader != nullptr ? reader->nextStretch(from, geometry()) : unplannedStretchBytes;
        const std::size_t end =
            std::min(haystack_.size(), from + std::max<std::size_t>(stretch, 1));
        probe(from, end, reader);
        verify(end);
        searchByBytes(end);
        settle(end);
        if (progress)
            progress(end, foundCount());
        from = end;
    }
    std::vector<std::optional<std::size_t>> found(states_.size());
    for (std::size_t i = 0; i < states_.size(); ++i) {
        const std::size_t by =
            givenUpWhenFound_.empty() ? FingerprintSearch::neverGivenUp : givenUpWhenFound_[i];
        const bool givenUp = by != FingerprintSearch::neverGivenUp && states_[by].best != none;
        if (states_[i].best != none && !givenUp)
            found[i] = states_[i].best;
    }
    return found;
}

void Pass::probe(std::size_t from, std::size_t end, HaystackReader* reader) {
    if (table_.strides() == 0 || haystack_.size() < keyBytes)
        return;
    // Each thread probes a part of the stretch; the first tells the reader what it reads, in
    // order, and the others' pages are read ahead by the system as they touch them in order.
    const std::size_t parts = std::min(probers_.size(), (end - from) / cachedPieceBytes + 1);
    const std::size_t part = (end - from + parts - 1) / parts;
    std::vector<std::thread> threads;
    std::vector<std::exception_ptr> failures(parts);
    for (std::size_t k = 1; k < parts; ++k)
        threads.emplace_back([&, k] {
            try {
                probePart(probers_[k], from + k * part, std::min(end, from + (k + 1) * part),
                          nullptr);
            } catch (...) {
                failures[k] = std::current_exception();
            }
        });
    try {
        probePart(probers_[0], from, std::min(end, from + part), reader);
    } catch (...) {
        failures[0] = std::current_exception();
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
    for (std::size_t k = 0; k < parts; ++k) {
        auto& found = probers_[k].candidates;
        candidates_.insert(candidates_.end(), found.begin(), found.end());
        found.clear();
    }
}

void Pass::probePart(Prober& prober, std::size_t from, std::size_t end,
                     HaystackReader* reader) const {
    const std::uint32_t strides = table_.strides();
    for (std::size_t at = from; at < end; at += announceBytes) {
        const std::size_t to = std::min(end, at + announceBytes);
        if (reader != nullptr) {
            const Bytes part = haystack_.subspan(at, to - at);
            reader->willRead(std::span(&part, 1));
        }
        // Each width in a loop of its own, a piece at a time while the piece is in the
        // processor's nearest caches: a narrow width probes often, and its small filter is then
        // read at a word's cost.
        for (std::size_t piece = at; piece < to; piece += cachedPieceBytes)
            for (std::uint32_t left = strides; left != 0; left &= left - 1)
                probeWidth(prober, static_cast<unsigned>(std::countr_zero(left)), piece,
                           std::min(to, piece + cachedPieceBytes));
    }
}

void Pass::probeWidth(Prober& prober, unsigned width, std::size_t from, std::size_t end) const {
    const std::size_t stride = std::size_t{1} << width;
    const std::size_t limit = std::min(end, haystack_.size() - keyBytes + 1);
    const std::uint8_t* bytes = haystack_.data();
    std::size_t at = (from + stride - 1) / stride * stride;
    if (table_.filterIsSmall(width)) {
        // A filter in the nearest cache: each probe costs its key and a word, no more.
        for (; at < limit; at += stride) {
            const std::uint64_t key = windowKeyAt(bytes + at);
            if (table_.mayHold(key, width)) [[unlikely]]
                table_.forEach(
                    key, [&](const KeyTable::Entry& entry) { propose(prober, at, width, entry); });
        }
        return;
    }
    std::uint64_t keys[probeBatch];
    std::size_t positions[probeBatch];
    while (at < limit) {
        std::size_t count = 0;
        for (; at < limit && count < probeBatch; at += stride, ++count) {
            keys[count] = windowKeyAt(bytes + at);
            positions[count] = at;
            table_.prefetchFilter(keys[count], width);
        }
        // The keys the filter lets through, their slots asked for before any is read.
        std::size_t passed = 0;
        for (std::size_t k = 0; k < count; ++k)
            if (table_.mayHold(keys[k], width)) {
                table_.prefetchSlot(keys[k]);
                keys[passed] = keys[k];
                positions[passed++] = positions[k];
            }
        for (std::size_t k = 0; k < passed; ++k)
            table_.forEach(keys[k], [&](const KeyTable::Entry& entry) {
                propose(prober, positions[k], width, entry);
            });
    }
}

void Pass::propose(Prober& prober, std::size_t probe, unsigned width,
                   const KeyTable::Entry& entry) const {
    const Fingerprint& fingerprint = fingerprints_[entry.fingerprint];
    const TextureState& state = states_[entry.fingerprint];
    const std::uint64_t offset = fingerprint.windowStart + entry.index;
    // A window is probed once per occurrence, by the probe of the width it is probed at.
    if (widths_[entry.fingerprint] != width || state.settled || state.byBytes)
        return;
    if (fingerprint.period != 0) {
        proposeRun(prober, probe, entry);
        return;
    }
    if (probe < offset)
        return;
    const auto at = static_cast<std::size_t>(probe - offset);
    if (at >= state.best || fingerprint.length > haystack_.size() - at ||
        !neighboursAgree(fingerprint, at, entry.index))
        return;
    prober.candidates.push_back({at, entry.fingerprint});
}

// A probe whose key is one of a periodic texture's phases lies in a run of its pattern: the run is
// found whole (once: later probes in it are passed over), and proposes the texture where the run
// holds it. Where the texture starts is found from the run's bytes, not from the phase whose key
// met the probe: two phases' keys may agree, and the first to meet the probe would otherwise
// settle the run for the other.
void Pass::proposeRun(Prober& prober, std::size_t probe, const KeyTable::Entry& entry) const {
    const Fingerprint& fingerprint = fingerprints_[entry.fingerprint];
    std::size_t& runEnd = prober.runEnd[entry.fingerprint];
    if (probe < runEnd)
        return;
    const std::size_t period = fingerprint.period;
    const std::uint8_t* bytes = haystack_.data();
    std::size_t start = probe;
    while (start > 0 && bytes[start - 1] == bytes[start - 1 + period])
        --start;
    std::size_t end = std::min(haystack_.size(), start + period);
    while (end < haystack_.size() && bytes[end] == bytes[end - period])
        ++end;
    runEnd = end;
    const Run run{start, end, entry.fingerprint};
    // Where the texture's pattern breaks, so does the run; a texture periodic throughout starts at
    // the run's first position of its phase 0.
    if (fingerprint.periodicBytes != fingerprint.length) {
        proposeInRun(prober, run, end - std::min<std::size_t>(end, fingerprint.periodicBytes));
        return;
    }
    for (std::size_t at = start; at < std::min(end, start + period); ++at)
        proposeInRun(prober, run, at);
}

void Pass::proposeInRun(Prober& prober, const Run& run, std::size_t at) const {
    const Fingerprint& fingerprint = fingerprints_[run.fingerprint];
    const std::uint8_t* bytes = haystack_.data();
    if (at >= run.start && at < states_[run.fingerprint].best &&
        fingerprint.periodicBytes <= run.end - at && fingerprint.length <= haystack_.size() - at &&
        windowKeyAt(bytes + at) == fingerprint.keys[0] &&
        keyAt(bytes + at + fingerprint.length - keyBytes) == fingerprint.lastKey)
        prober.candidates.push_back({at, run.fingerprint});
}

// The keys compared are spread over the whole window, however few of its keys are probed: a
// window probed by its first keys is as hard to match by chance as one probed by all of them.
bool Pass::neighboursAgree(const Fingerprint& fingerprint, std::size_t at,
                           std::size_t index) const {
    const std::size_t width = fingerprint.keys.size();
    const std::size_t checks = std::min(neighbourChecks, width - 1);
    for (std::size_t c = 1; c <= checks; ++c) {
        const std::size_t other = (index + c * std::max<std::size_t>(width / 4, 1)) % width;
        const std::size_t position = at + static_cast<std::size_t>(fingerprint.windowStart) + other;
        if (windowKeyAt(haystack_.data() + position) != fingerprint.keys[other])
            return false;
    }
    return true;
}

void Pass::verify(std::size_t end) {
    std::sort(candidates_.begin(), candidates_.end());
    candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
    for (const Candidate& candidate : candidates_) {
        const Fingerprint& fingerprint = fingerprints_[candidate.fingerprint];
        TextureState& state = states_[candidate.fingerprint];
        if (state.settled || state.byBytes || candidate.at >= state.best)
            continue;
        const auto length = static_cast<std::size_t>(fingerprint.length);
        // A lower occurrence would have a window probed no later than this one's, so it would
        // be among the candidates already: the first verified is the first occurrence.
        if (Digest::of(haystack_.subspan(candidate.at, length)) == fingerprint.digest) {
            settleFound(candidate.fingerprint, candidate.at);
            continue;
        }
        state.wasted += length;
        if (state.wasted > wastedLengths * length + wastedPerCoveredByte * end) {
            // Every occurrence below the candidate, or early enough for the probes so far to
            // have proposed it, was ruled out.
            const std::size_t reach = fingerprint.windowStart + strideOf(candidate.fingerprint);
            const std::size_t proposed = end >= reach ? end - reach + 1 : 0;
            searchFromNowByBytes(candidate.fingerprint, std::min(candidate.at, proposed), end);
        }
    }
    candidates_.clear();
}

} // namespace dyeloom::fingerprint_stages
