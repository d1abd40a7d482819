#include "fingerprint/fingerprint_search.hpp"

#include "fingerprint/fingerprint_pass.hpp"
#include "fingerprint/probe_widths.hpp"

#include <algorithm>

namespace dyeloom {

FingerprintSearch::FingerprintSearch(std::span<const Fingerprint> fingerprints,
                                     std::span<const std::size_t> givenUpWhenFound,
                                     std::size_t threads)
    : fingerprints_(fingerprints),
      givenUpWhenFound_(givenUpWhenFound.begin(), givenUpWhenFound.end()), threads_(threads),
      widths_(probeWidths(fingerprints, KeyTable::smallFilterKeys)), table_(fingerprints, widths_) {
}

std::vector<std::optional<std::size_t>>
FingerprintSearch::findAll(Bytes haystack, const NeedleBytes& needleBytes, HaystackReader* reader,
                           const SearchProgress& progress) const {
    fingerprint_stages::Pass pass(fingerprints_, givenUpWhenFound_, widths_, table_, haystack,
                                  needleBytes, threads_);
    return pass.run(reader, progress);
}

namespace fingerprint_stages {
namespace {

// Textures searched for by their bytes are searched for together this much of the haystack at a
// time, which the pass has just read: the exact search is planned afresh for each range, at a
// cost of a millisecond or so for a large texture.
constexpr std::size_t byBytesBatchBytes = std::size_t{256} << 20;

} // namespace

void Pass::searchFromNowByBytes(std::size_t i, std::size_t from, std::size_t end) {
    TextureState& state = states_[i];
    state.byBytes = true;
    state.bytesFrom = from;
    state.bytes = needleBytes_(i);
    // Without its bytes, a texture its keys cannot find is not found.
    if (state.bytes.empty()) {
        settleAbsent(i);
        return;
    }
    if (end <= from)
        return;
    // What the pass has covered is caught up with now; the stretches after it search for the
    // texture with the others searched by bytes.
    const std::size_t reach = std::min(haystack_.size(), end + state.bytes.size() - 1);
    const auto found = findFirst(haystack_.subspan(from, reach - from), state.bytes);
    if (found && from + *found < end)
        settleFound(i, from + *found);
    else
        state.bytesFrom = end;
}

void Pass::searchByBytes(std::size_t end) {
    const std::size_t from = searchedByBytes_;
    if (end - from < byBytesBatchBytes && end < haystack_.size())
        return;
    searchedByBytes_ = end;
    // Every texture searched for by its bytes from a point in this range on has no occurrence
    // below that point, so each is looked for from the range's start.
    std::vector<std::size_t> members;
    std::vector<Bytes> needles;
    std::size_t longest = 0;
    for (std::size_t i = 0; i < states_.size(); ++i)
        if (states_[i].byBytes && !states_[i].settled) {
            members.push_back(i);
            needles.push_back(states_[i].bytes);
            longest = std::max(longest, states_[i].bytes.size());
        }
    if (members.empty())
        return;
    // An occurrence that starts in the range ends at most a needle's length past it.
    const std::size_t reach = std::min(haystack_.size(), end + longest - 1);
    MultiSearch search(needles);
    const auto found = search.findAll(haystack_.subspan(from, reach - from));
    for (std::size_t k = 0; k < members.size(); ++k)
        if (found[k] && from + *found[k] < end)
            settleFound(members[k], from + *found[k]);
}

void Pass::settle(std::size_t end) {
    if (end >= haystack_.size())
        for (std::size_t i = 0; i < states_.size(); ++i)
            if (!states_[i].settled)
                settleAbsent(i);
    if (givenUpWhenFound_.empty())
        return;
    for (std::size_t i = 0; i < states_.size(); ++i) {
        const std::size_t by = givenUpWhenFound_[i];
        if (!states_[i].settled && by != FingerprintSearch::neverGivenUp && states_[by].settled &&
            states_[by].best != none)
            settleAbsent(i);
    }
}

void Pass::settleFound(std::size_t i, std::size_t at) {
    states_[i].best = at;
    settleAbsent(i);
}

void Pass::settleAbsent(std::size_t i) {
    TextureState& state = states_[i];
    state.settled = true;
    ByteBuffer().swap(state.bytes);
    --unsettled_;
}

SearchGeometry Pass::geometry() const {
    SearchGeometry geometry;
    for (std::size_t i = 0; i < states_.size(); ++i)
        if (!states_[i].settled)
            geometry.needleBytes =
                std::max(geometry.needleBytes, static_cast<std::size_t>(fingerprints_[i].length));
    // Every page is read: the probes of the narrowest windows fall several to a page.
    geometry.spacingBytes = 0;
    return geometry;
}

std::size_t Pass::foundCount() const {
    std::size_t found = 0;
    for (std::size_t i = 0; i < states_.size(); ++i)
        if (states_[i].settled && states_[i].best != none &&
            (givenUpWhenFound_.empty() || givenUpWhenFound_[i] == FingerprintSearch::neverGivenUp))
            ++found;
    return found;
}

} // namespace fingerprint_stages
} // namespace dyeloom
