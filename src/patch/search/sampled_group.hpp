// A group of needles sampled together: one plan, one series of blocks over the haystack and one
// table of their informative grams.
#pragma once

#include "bytes.hpp"
#include "search/group_table.hpp"
#include "search/informative_entries.hpp"
#include "search/sampling_plan.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dyeloom::search_stages {

// Needles shorter than this are scanned: too few entries to sample with.
inline constexpr std::size_t minSampledNeedleBytes = 256;

// The spacing is the widest that still meets every candidate of every member, so the group reads
// about what its hardest member would read alone. Parts that no shared spacing suits are left
// out: their needles are scanned.
class SampledGroup {
public:
    // Samples the needles of `parts` (of at most `windowBytes` each, at grams of `gramBytes`)
    // together; `needles` must outlive the group.
    SampledGroup(std::span<const Bytes> needles, std::vector<IndexedPart> parts,
                 std::size_t gramBytes, std::size_t windowBytes, const PlanLimits& limits);

    [[nodiscard]] bool samplesAny() const noexcept { return plan_.spacingEntries != 0; }
    [[nodiscard]] bool samples(std::size_t needle) const { return sampled_[needle] != 0; }
    // Whether the needle is one of those with the fewest entries, which bound the spacing: once
    // they are all found, the others may be sampled more sparsely.
    [[nodiscard]] bool boundsSpacing(std::size_t needle) const {
        return boundsSpacing_[needle] != 0;
    }
    // The size of the smallest part indexed, which bounds the spacing.
    [[nodiscard]] std::size_t boundingPartBytes() const noexcept { return boundingPartBytes_; }
    [[nodiscard]] std::size_t windowBytes() const noexcept { return windowBytes_; }
    [[nodiscard]] const PlanLimits& limits() const noexcept { return limits_; }

    [[nodiscard]] std::size_t spacingBytes() const noexcept {
        return bytesOfEntries(plan_.spacingEntries);
    }
    [[nodiscard]] std::size_t blockSamples() const noexcept {
        return bytesOfEntries(plan_.blockEntries);
    }
    // The bytes a block reads: its samples and the rest of its last gram.
    [[nodiscard]] std::size_t blockBytes() const noexcept {
        return blockSamples() + gramBytes() - 1;
    }
    [[nodiscard]] std::size_t gramBytes() const noexcept { return table_.gramBytes(); }
    // How far past a candidate of `needle` the first block that meets it can lie.
    [[nodiscard]] std::size_t lagBytes(std::size_t needle) const { return lagBytes_[needle]; }
    [[nodiscard]] const GroupTable& table() const noexcept { return table_; }

private:
    PlanLimits limits_;
    std::size_t windowBytes_ = 0;
    std::size_t boundingPartBytes_ = 0;
    SamplingPlan plan_{};
    std::vector<std::uint8_t> sampled_;
    std::vector<std::uint8_t> boundsSpacing_;
    std::vector<std::size_t> lagBytes_;
    GroupTable table_;
};

} // namespace dyeloom::search_stages
