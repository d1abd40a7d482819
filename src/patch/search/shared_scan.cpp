#include "search/shared_scan.hpp"

#include <algorithm>

namespace dyeloom::search_stages {
namespace {

// The haystack's bytes are counted in this many pieces of this size, spread over it: a few
// pages' reads, against a pass over all of it.
constexpr std::size_t anchorSamplePieces = 16;
constexpr std::size_t anchorSampleBytes = 16 << 10;
// A chunk: scanned by every needle in turn while it stays in the processor's second-level cache
// (2 MiB a core here).
constexpr std::size_t scanChunkBytes = std::size_t{512} << 10;

} // namespace

void anchorScans(Bytes haystack, std::span<const std::size_t> scanned,
                 std::vector<RareByteSearch>& scans) {
    if (scanned.empty())
        return;
    RareByteSearch::ByteCounts counts{};
    const std::size_t step = haystack.size() / anchorSamplePieces;
    for (std::size_t piece = 0; piece < anchorSamplePieces; ++piece)
        for (const std::uint8_t byte : haystack.subspan(
                 piece * step, std::min(anchorSampleBytes, haystack.size() - piece * step)))
            ++counts[byte];
    for (const std::size_t i : scanned)
        scans[i].expectHaystack(counts);
}

void scanStretch(const Haystack& haystack, Stretch stretch, std::vector<std::size_t> scanned,
                 std::vector<RareByteSearch>& scans, const std::vector<NeedleOutcome>& outcomes,
                 NeedleSink& sink) {
    for (std::size_t chunk = stretch.first; chunk <= stretch.last && !scanned.empty();
         chunk += scanChunkBytes) {
        const std::size_t chunkLast =
            stretch.last - chunk < scanChunkBytes ? stretch.last : chunk + scanChunkBytes - 1;
        for (const std::size_t i : scanned) {
            const NeedleOutcome& outcome = outcomes[i];
            if (outcome.done || chunk > outcome.lastCandidate)
                continue;
            const Stretch part{chunk, std::min(chunkLast, outcome.lastCandidate)};
            if (const auto at = scans[i].find(haystack.bytes, part, haystack.reader))
                sink.finish(i, at);
            else if (part.last == outcome.lastCandidate)
                sink.finish(i, std::nullopt);
        }
        std::erase_if(scanned, [&](std::size_t i) { return outcomes[i].done; });
    }
}

} // namespace dyeloom::search_stages
