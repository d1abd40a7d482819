// One pass of the fingerprint search over one haystack: the state of each texture while the pass
// lasts, and the stages of a stretch (probe, verify, search by bytes, settle).
#pragma once

#include "fingerprint/fingerprint_search.hpp"

#include <cstdint>
#include <limits>

namespace dyeloom::fingerprint_stages {

inline constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

// What the pass knows of one texture.
struct TextureState {
    std::size_t best = none; // its lowest match verified so far
    bool settled = false;    // no lower match can turn up
    bool byBytes = false;    // searched for by its bytes from `bytesFrom` on
    std::size_t bytesFrom = 0;
    std::uint64_t wasted = 0; // bytes digested for candidates that were not it
    ByteBuffer bytes;         // once searched for by its bytes
};

struct Candidate {
    std::size_t at = 0;
    std::uint32_t fingerprint = 0;
    auto operator<=>(const Candidate&) const = default;
};

// What one thread's probes of a part of a stretch leave: candidates, and for each periodic
// texture where the last run of its pattern it looked at ends.
struct Prober {
    std::vector<Candidate> candidates;
    std::vector<std::size_t> runEnd;
};

class Pass {
public:
    // The stretches' probes are shared among `threads` threads; fingerprint i is probed at a
    // stride of 2^widths[i] (probe_widths.hpp).
    Pass(std::span<const Fingerprint> fingerprints, std::span<const std::size_t> givenUpWhenFound,
         std::span<const std::uint8_t> widths, const KeyTable& table, Bytes haystack,
         const NeedleBytes& needleBytes, std::size_t threads);

    // Runs the pass over the haystack, stretch by stretch as `reader` plans them.
    [[nodiscard]] std::vector<std::optional<std::size_t>> run(HaystackReader* reader,
                                                              const SearchProgress& progress);

private:
    // The stages of the stretch [from, end).
    void probe(std::size_t from, std::size_t end, HaystackReader* reader);
    void probePart(Prober& prober, std::size_t from, std::size_t end, HaystackReader* reader) const;
    void probeWidth(Prober& prober, unsigned width, std::size_t from, std::size_t end) const;
    void propose(Prober& prober, std::size_t probe, unsigned width,
                 const KeyTable::Entry& entry) const;
    void proposeRun(Prober& prober, std::size_t probe, const KeyTable::Entry& entry) const;
    // A run of a periodic texture's pattern: [start, end) of the haystack.
    struct Run {
        std::size_t start = 0;
        std::size_t end = 0;
        std::uint32_t fingerprint = 0;
    };
    // Proposes the texture at `at` if the run holds its pattern from there in its phase 0.
    void proposeInRun(Prober& prober, const Run& run, std::size_t at) const;
    [[nodiscard]] std::size_t strideOf(std::size_t i) const noexcept {
        return std::size_t{1} << widths_[i];
    }
    [[nodiscard]] bool neighboursAgree(const Fingerprint& fingerprint, std::size_t at,
                                       std::size_t index) const;
    void verify(std::size_t end);
    // Searches for the textures searched for by their bytes, in what the pass has read since the
    // last such search, once that is enough or the pass is at its end.
    void searchByBytes(std::size_t end);
    void settle(std::size_t end);

    // Hands texture `i` to the search by bytes: its occurrences below `from` are ruled out.
    void searchFromNowByBytes(std::size_t i, std::size_t from, std::size_t end);
    void settleFound(std::size_t i, std::size_t at);
    void settleAbsent(std::size_t i);
    [[nodiscard]] SearchGeometry geometry() const;
    [[nodiscard]] std::size_t foundCount() const;

    std::span<const Fingerprint> fingerprints_;
    std::span<const std::size_t> givenUpWhenFound_;
    std::span<const std::uint8_t> widths_;
    const KeyTable& table_;
    Bytes haystack_;
    const NeedleBytes& needleBytes_;
    std::vector<TextureState> states_;
    std::vector<Candidate> candidates_; // of the stretch under way
    std::vector<Prober> probers_;       // one a thread
    std::size_t unsettled_ = 0;
    std::size_t searchedByBytes_ = 0; // where the next search by bytes starts
};

} // namespace dyeloom::fingerprint_stages
