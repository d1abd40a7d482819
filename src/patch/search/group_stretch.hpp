// Settling one stretch for the needles of one group: its blocks sampled, each sample looked up
// once in the group's table, each candidate verified against its needle.
#pragma once

#include "search/needle_state.hpp"
#include "search/rare_byte.hpp"
#include "search/sampled_group.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <span>
#include <utility>
#include <vector>

namespace dyeloom::search_stages {

// Buffers that every group's stretch reuses.
struct StretchScratch {
    struct Candidate {
        std::size_t needle;
        std::size_t offset;
        std::size_t needlePos; // where in the needle the gram that proposed it sits
    };
    using SettlePoint = std::pair<std::size_t, std::size_t>; // a needle's limit, the needle
    std::priority_queue<SettlePoint, std::vector<SettlePoint>, std::greater<>> settlePoints;
    std::vector<Candidate> candidates;
    std::vector<Bytes> announced;
    std::vector<std::uint8_t> sampleCopy; // a block's bytes, when the reader copies them out
};

// Blocks are met in order. A needle is settled for the stretch (it "settles") once no block can
// meet a candidate lower than its best match; a block whose candidates cost too much to verify
// (repetitive data) hands that part of the stretch over to the needle's rare-byte scan.
class GroupStretch {
public:
    struct Needles {
        std::span<const Bytes> bytes;
        std::vector<RareByteSearch>& scans;
        const std::vector<NeedleOutcome>& outcomes;
        StretchBoard& board;
        NeedleSink& sink;
    };

    GroupStretch(const SampledGroup& group, const Haystack& haystack, Needles needles,
                 StretchScratch& scratch)
        : group_(group), haystack_(haystack), needles_(needles), scratch_(scratch) {}

    // Settles `stretch` for the `members` of the group not yet done.
    void run(std::span<const std::size_t> members, Stretch stretch);

private:
    void openMembers(std::span<const std::size_t> members, Stretch stretch);
    void settleUpTo(std::size_t block);
    void settle(std::size_t n);
    void setLimit(std::size_t n, std::size_t limit);
    void announceBlocks(std::size_t blockStart);
    void searchBlock(std::size_t blockStart);
    void collectCandidates(std::size_t blockStart, const std::uint8_t* samples,
                           std::size_t samplesHere);
    void verify(std::span<const StretchScratch::Candidate> ofNeedle, std::size_t blockStart);
    bool matchesAround(const StretchScratch::Candidate& candidate, std::size_t& cost);
    void setBest(std::size_t n, std::size_t offset);
    void handOver(std::size_t n, std::size_t blockStart);

    const SampledGroup& group_;
    const Haystack& haystack_;
    Needles needles_;
    StretchScratch& scratch_;
    std::size_t nextToAnnounce_ = 0;
};

} // namespace dyeloom::search_stages
