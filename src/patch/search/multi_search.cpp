// The stretch loop: the haystack is settled stretch by stretch, as the reader plans them, for
// every needle before the next stretch begins, so that the first match found of each needle is
// its first occurrence. In each stretch the scanned needles go first, then the pass, then each
// group.
#include "search.hpp"
#include "search/batch_plan.hpp"
#include "search/group_stretch.hpp"
#include "search/needle_state.hpp"
#include "search/pass_stretch.hpp"
#include "search/shared_scan.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace dyeloom {

using namespace search_stages;

struct MultiSearch::Impl final : NeedleSink {
    Impl(std::span<const Bytes> all, std::span<const std::size_t> givenUpWhenFound)
        : needles(all.begin(), all.end()), givesUp(all.size()), outcomes(all.size()),
          board(all.size()), groups(planGroups(all)), groupOf(all.size(), noGroup),
          members(groups.size()), boundingLeft(groups.size(), 0), sparserPlanDue(groups.size(), 0) {
        scans.reserve(all.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            scans.emplace_back(all[i]);
            if (!givenUpWhenFound.empty() && givenUpWhenFound[i] != neverGivenUp)
                givesUp[givenUpWhenFound[i]].push_back(i);
        }
        for (std::size_t g = 0; g < groups.size(); ++g)
            for (std::size_t i = 0; i < all.size(); ++i)
                if (groups[g].samples(i)) {
                    groupOf[i] = g;
                    members[g].push_back(i);
                }
        formPassGroups();
    }

    SearchGeometry geometry() const noexcept;
    std::vector<std::optional<std::size_t>> findAll(const Haystack& hay,
                                                    const SearchProgress& progress);
    void finish(std::size_t i, std::optional<std::size_t> offset) override;

private:
    void formPassGroups();
    void start(const Haystack& hay);
    [[nodiscard]] std::size_t lastCandidateOfAll() const;
    void searchStretch(Stretch stretch);
    [[nodiscard]] std::size_t boundingNeedlesLeft(std::size_t g) const;
    [[nodiscard]] std::size_t windowNow(std::size_t g) const;
    [[nodiscard]] bool sparserWithout(std::size_t g) const;
    void sampleSparser(std::size_t g);

    static constexpr std::size_t noGroup = std::numeric_limits<std::size_t>::max();
    // What is asked: the needles, and which needles each one found gives up.
    std::vector<Bytes> needles;
    std::vector<std::vector<std::size_t>> givesUp;
    std::vector<RareByteSearch> scans; // for needles not sampled, and hard parts of those that are
    // What is found, and what the stretch under way needs.
    std::vector<NeedleOutcome> outcomes;
    StretchBoard board;
    StretchScratch scratch;
    // How the needles are sampled, or probed in one pass.
    std::vector<SampledGroup> groups;
    std::vector<std::size_t> groupOf;              // which group samples each needle, if any
    std::vector<std::vector<std::size_t>> members; // the needles each group samples
    std::vector<std::size_t> boundingLeft;         // of each group's needles that bound its spacing
    std::vector<std::uint8_t> sparserPlanDue;      // they are all found: plan the group afresh
    std::vector<PassWindow> passWindows;           // of the needles in the pass
    std::vector<PassGroup> passGroups;             // by stride, narrowest first
    std::vector<std::size_t> passGroupOf;          // which pass group probes each needle, if any
    // The haystack under way.
    Haystack haystack;
    bool searched = false;
    std::size_t left = 0, found = 0;
    std::size_t sampleable = 0; // needles left long enough to be sampled
};

// Each needle's state: what it asked and found, its scan, its window and its place in each group
// (a few hundred bytes with the groups a real mod forms). A scan that Two-Way takes over adds 2
// KiB; few needles ever are.
constexpr std::size_t needleStateBytes = 1024;

std::size_t MultiSearch::sharedHeapBytes() noexcept {
    return groupsHeapBytes();
}

// A needle short enough for the pass keeps at most one key per byte in its table.
std::size_t MultiSearch::heapPerNeedle(std::size_t needleBytes) noexcept {
    const std::size_t passKeys = needleBytes < minSampledNeedleBytes ? needleBytes : 0;
    return needleStateBytes + groupsHeapPerNeedle(needleBytes) + passKeys * PassTable::heapPerKey();
}

// What the groups still under way read together, as one plan for the reader: their blocks per
// byte add up, so the spacing is that of all their blocks interleaved, each as long as the
// longest. A needle being scanned reads every byte.
SearchGeometry MultiSearch::Impl::geometry() const noexcept {
    SearchGeometry geometry;
    std::vector<std::uint8_t> active(groups.size(), 0), passActive(passGroups.size(), 0);
    bool scanned = false;
    for (std::size_t i = 0; i < needles.size(); ++i) {
        if (outcomes[i].done)
            continue;
        geometry.needleBytes = std::max(geometry.needleBytes, needles[i].size());
        if (passGroupOf[i] != noGroup)
            passActive[passGroupOf[i]] = 1;
        else if (groupOf[i] == noGroup)
            scanned = true;
        else
            active[groupOf[i]] = 1;
    }
    double blocksPerByte = 0;
    for (std::size_t p = 0; p < passGroups.size(); ++p)
        if (passActive[p] != 0) {
            blocksPerByte += 1.0 / static_cast<double>(passGroups[p].stride);
            geometry.blockBytes = std::max(geometry.blockBytes, keyBytes);
        }
    for (std::size_t g = 0; g < groups.size(); ++g)
        if (active[g] != 0) {
            blocksPerByte += 1.0 / static_cast<double>(groups[g].spacingBytes());
            geometry.blockBytes = std::max(geometry.blockBytes, groups[g].blockBytes());
        }
    if (scanned || blocksPerByte == 0)
        return {geometry.needleBytes, 0, 0};
    geometry.spacingBytes = std::max<std::size_t>(static_cast<std::size_t>(1.0 / blocksPerByte), 1);
    return geometry;
}

std::vector<std::optional<std::size_t>> MultiSearch::Impl::findAll(const Haystack& hay,
                                                                   const SearchProgress& progress) {
    start(hay);
    for (std::size_t from = 0; left > 0;) {
        const std::size_t lastOfAll = lastCandidateOfAll();
        if (from > lastOfAll)
            break;
        const std::size_t candidates =
            haystack.reader == nullptr
                ? lastOfAll - from + 1
                : std::max<std::size_t>(haystack.reader->nextStretch(from, geometry()), 1);
        const std::size_t to = lastOfAll - from < candidates ? lastOfAll : from + candidates - 1;
        searchStretch({from, to});
        from = to + 1;
        for (std::size_t g = 0; g < groups.size(); ++g)
            if (sparserPlanDue[g] != 0)
                sampleSparser(g);
        if (progress)
            progress(std::min(from, haystack.bytes.size()), found);
    }
    std::vector<std::optional<std::size_t>> results;
    for (const NeedleOutcome& outcome : outcomes)
        results.push_back(outcome.offset);
    return results;
}

void MultiSearch::Impl::start(const Haystack& hay) {
    // The groups are planned for one haystack, and made sparser as needles are found in it.
    if (searched)
        throw std::logic_error("a batch's search runs once");
    searched = true;
    haystack = hay;
    std::vector<std::size_t> scanned;
    for (std::size_t i = 0; i < needles.size(); ++i) {
        NeedleOutcome& outcome = outcomes[i];
        outcome.done = needles[i].empty() || needles[i].size() > haystack.bytes.size();
        outcome.lastCandidate = outcome.done ? 0 : haystack.bytes.size() - needles[i].size();
        left += outcome.done ? 0 : 1;
        sampleable += !outcome.done && needles[i].size() >= minSampledNeedleBytes ? 1 : 0;
        if (!outcome.done && groupOf[i] == noGroup && passGroupOf[i] == noGroup)
            scanned.push_back(i);
    }
    for (std::size_t g = 0; g < groups.size(); ++g)
        boundingLeft[g] = boundingNeedlesLeft(g);
    anchorScans(haystack.bytes, scanned, scans);
}

// The needles too short to sample are probed together in the pass where that beats scanning for
// each one, with the others of their stride. Longer ones no group samples (too plain) keep their
// scan: the mods of real textures measured showed no gain from probing them.
void MultiSearch::Impl::formPassGroups() {
    std::vector<std::size_t> unsampled;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (groupOf[i] == noGroup && !needles[i].empty() &&
            needles[i].size() < minSampledNeedleBytes)
            unsampled.push_back(i);
    const auto windows = passWindowsFor(needles, unsampled);
    passWindows.assign(needles.size(), PassWindow{});
    for (const std::size_t i : unsampled) {
        if (!windows[i] || !probingBeatsScan(*windows[i], needles[i].size()))
            continue;
        passWindows[i] = *windows[i];
        auto group = std::find_if(passGroups.begin(), passGroups.end(), [&](const PassGroup& g) {
            return g.stride == windows[i]->stride;
        });
        if (group == passGroups.end())
            group = passGroups.insert(passGroups.end(), PassGroup{windows[i]->stride, {}, {}});
        group->members.push_back(i);
    }
    std::erase_if(passGroups,
                  [](const PassGroup& g) { return !worthWalking(g.stride, g.members.size()); });
    std::sort(passGroups.begin(), passGroups.end(),
              [](const PassGroup& a, const PassGroup& b) { return a.stride < b.stride; });
    passGroupOf.assign(needles.size(), noGroup);
    for (std::size_t p = 0; p < passGroups.size(); ++p) {
        passGroups[p].table.build(needles, passWindows, passGroups[p].members);
        for (const std::size_t i : passGroups[p].members)
            passGroupOf[i] = p;
    }
}

std::size_t MultiSearch::Impl::lastCandidateOfAll() const {
    std::size_t last = 0;
    for (const NeedleOutcome& outcome : outcomes)
        last = outcome.done ? last : std::max(last, outcome.lastCandidate);
    return last;
}

void MultiSearch::Impl::searchStretch(Stretch stretch) {
    std::vector<std::size_t> scanned;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (!outcomes[i].done && groupOf[i] == noGroup && passGroupOf[i] == noGroup)
            scanned.push_back(i);
    scanStretch(haystack, stretch, std::move(scanned), scans, outcomes, *this);
    passStretch(passGroups, haystack, {needles, passWindows, scans, outcomes, *this}, stretch);
    for (std::size_t g = 0; g < groups.size(); ++g)
        GroupStretch(groups[g], haystack, {needles, scans, outcomes, board, *this}, scratch)
            .run(members[g], stretch);
}

void MultiSearch::Impl::finish(std::size_t i, std::optional<std::size_t> offset) {
    NeedleOutcome& outcome = outcomes[i];
    if (outcome.done)
        return;
    outcome.done = true;
    outcome.offset = offset;
    --left;
    found += offset ? 1 : 0;
    sampleable -= needles[i].size() >= minSampledNeedleBytes ? 1 : 0;
    board.close(i);
    // Once the last needle that bounded its group's spacing is found, the others may be
    // sampled more sparsely.
    const std::size_t g = groupOf[i];
    if (g != noGroup && groups[g].boundsSpacing(i) && --boundingLeft[g] == 0 && sparserWithout(g))
        sparserPlanDue[g] = 1;
    if (offset)
        for (const std::size_t givenUp : givesUp[i])
            finish(givenUp, std::nullopt);
}

std::size_t MultiSearch::Impl::boundingNeedlesLeft(std::size_t g) const {
    std::size_t count = 0;
    for (const std::size_t i : members[g])
        count += !outcomes[i].done && groups[g].boundsSpacing(i) ? 1 : 0;
    return count;
}

// How much of each needle a group would index now that fewer are left.
std::size_t MultiSearch::Impl::windowNow(std::size_t g) const {
    return std::max(groups[g].windowBytes(), indexedWindowFor(sampleable));
}

// Whether a group's needles left could be sampled at least twice as sparsely: planning afresh
// costs an index of every one of them, worth it only for a much wider spacing.
bool MultiSearch::Impl::sparserWithout(std::size_t g) const {
    const std::size_t window = windowNow(g);
    std::size_t smallest = std::numeric_limits<std::size_t>::max();
    for (const std::size_t i : members[g])
        if (!outcomes[i].done)
            smallest = std::min(smallest, std::min(needles[i].size(), window));
    return smallest != std::numeric_limits<std::size_t>::max() &&
           smallest >= 2 * groups[g].boundingPartBytes();
}

// The needles that bounded a group's spacing are found: the others are planned afresh, each with
// a larger part indexed, and sampled more sparsely from the next stretch on.
void MultiSearch::Impl::sampleSparser(std::size_t g) {
    sparserPlanDue[g] = 0;
    std::vector<Bytes> remaining(needles.size());
    std::size_t live = 0;
    for (const std::size_t i : members[g])
        if (!outcomes[i].done) {
            remaining[i] = needles[i];
            ++live;
        }
    const std::size_t window = windowNow(g);
    const std::size_t gramBytes = groups[g].gramBytes();
    std::vector<IndexedPart> parts;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (!remaining[i].empty() && remaining[i].size() >= gramBytes + entryBytes)
            parts.push_back(indexPart(remaining[i], i, window, gramBytes));
    PlanLimits limits = groups[g].limits();
    limits.maxSpacingEntries = maxSpacingEntriesFor(left);
    SampledGroup sparser(remaining, std::move(parts), gramBytes, window, limits);
    std::size_t sampled = 0;
    for (std::size_t i = 0; i < needles.size(); ++i)
        sampled += sparser.samples(i) ? 1 : 0;
    // Kept as it is unless every needle left is sampled the new way.
    if (sampled == live && sparser.samplesAny() &&
        sparser.spacingBytes() > groups[g].spacingBytes()) {
        groups[g] = std::move(sparser);
        boundingLeft[g] = boundingNeedlesLeft(g);
    }
}

MultiSearch::MultiSearch(std::span<const Bytes> needles,
                         std::span<const std::size_t> givenUpWhenFound)
    : impl_(std::make_unique<Impl>(needles, givenUpWhenFound)) {}

MultiSearch::~MultiSearch() = default;

SearchGeometry MultiSearch::geometry() const noexcept {
    return impl_->geometry();
}

std::vector<std::optional<std::size_t>> MultiSearch::findAll(Bytes haystack, HaystackReader* reader,
                                                             const SearchProgress& progress) {
    return impl_->findAll({haystack, reader}, progress);
}

std::optional<std::size_t> findFirst(Bytes haystack, Bytes needle, HaystackReader* reader) {
    MultiSearch search(std::span(&needle, 1));
    return search.findAll(haystack, reader).front();
}

} // namespace dyeloom
