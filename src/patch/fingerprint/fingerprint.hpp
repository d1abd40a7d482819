// What the search keeps of a texture: its fingerprint, made in one read of its data, of a size
// bounded whatever the texture's size. A texture is found by its keys and taken as found only
// where the archive's bytes have its length and digest; its bytes are never held.
//
// A fingerprint's keys are those of `stride` consecutive positions of the data (its window),
// each the window key (below) of the 16 bytes there. The archive is probed at every stride-th
// byte, so any occurrence of the texture holds exactly one probe inside its window, and that
// probe's key proposes the occurrence, whatever its alignment.
//
// Bound: a fingerprint holds at most maxFingerprintStride keys of 32 bits (2 KiB as a package
// stores them) beside its fixed part, whatever the texture's size.
#pragma once

#include "bytes.hpp"
#include "digest.hpp"
#include "search/telling_keys.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dyeloom {

// The widest window a fingerprint keeps. At this stride an archive is probed eight times a page,
// which costs far less than reading the page; a wider one would save probes but not reads, and
// cost more keys than the few KiB a fingerprint may hold.
inline constexpr std::size_t maxFingerprintStride = 512;

// The key of a window position: the 16 bytes' key (search/telling_keys.hpp) hashed to 32 bits,
// so that a package holds twice the keys, and its windows are twice as wide, in the same bytes.
// The high half of a product depends on every bit of the key: folding the key's halves onto each
// other instead would make keys of data that differs by the same bits four bytes apart agree, as
// the pixels of a picture often do. Keys that agree are a candidate only once three more of the
// window's agree too, and a candidate is taken only where its span has the texture's digest: at
// one chance in 2^32 that two keys agree by chance, the extra candidates cost nothing measurable.
[[nodiscard]] inline std::uint64_t windowKeyAt(const std::uint8_t* bytes) {
    constexpr std::uint64_t multiplier = 0xD6E8FEB86659FD93ull;
    return (search_stages::keyAt(bytes) * multiplier) >> 32;
}

// The longest pattern whose repetitions make a periodic fingerprint: a flat colour of pixels of
// up to four bytes, or of compressed blocks of 8 or 16.
inline constexpr std::size_t longestPeriod = 16;

struct Fingerprint {
    std::uint64_t length = 0; // of the data
    Digest128 digest;         // of the data
    // The window: keys[j] is the key at windowStart + j, stride of them. No keys: the data has
    // no telling key (it is shorter than a key, or blank or flat throughout), and is found by
    // its bytes.
    std::uint64_t windowStart = 0;
    std::vector<std::uint64_t> keys;
    // Data whose first periodicBytes are periodic (a flat colour: each byte equals the one
    // `period` bytes on), and so long that this probes it at a wider stride than a window, keeps
    // instead the keys of its first `period` positions, one for each phase of the pattern, probed
    // at a stride as wide as that part allows. The probe that meets a run of the pattern finds the
    // run whole: periodic throughout, the data may start at any position of the right phase in a
    // run as long as it; periodic up to periodicBytes, where the pattern breaks, it starts that
    // many bytes before the run's end.
    std::uint32_t period = 0;
    std::uint32_t probeStride = 0;
    std::uint64_t periodicBytes = 0;
    // The key of the data's last 16 bytes, which a candidate of data periodic in part must have
    // before its span is digested: runs of a common colour are many.
    std::uint64_t lastKey = 0;

    [[nodiscard]] std::size_t stride() const noexcept {
        return period != 0 ? probeStride : keys.size();
    }
};

// Makes a fingerprint from data that arrives in pieces. The window is the first run of telling
// keys as wide as `maxStride` (a power of two), or the longest run found, at a power-of-two width;
// the runs are looked for a stretch at a time until one is wide enough or the data past the first
// telling key has been looked through far enough, so a texture whose first rows are blank costs
// no more than its blank rows and a bounded look at its detail.
class FingerprintMaker {
public:
    // How far a window is looked for: Quick stops at a window a quarter as wide as `maxStride`;
    // Widest looks on for one as wide as `maxStride` as far as it may, for fingerprints made once
    // and searched for many times (a package's).
    enum class Look { Quick, Widest };

    explicit FingerprintMaker(std::size_t maxStride, Look look = Look::Quick);

    void add(Bytes piece);
    [[nodiscard]] Fingerprint finish();

private:
    // Looks for a run among the positions of the pending bytes that have the bytes after them.
    void lookForWindow(bool last);
    // Keeps the periods up to longestPeriod that every byte so far repeats.
    void checkPeriods(Bytes piece);
    void makePeriodic();

    std::size_t maxStride_;
    std::size_t enoughStride_; // a window this wide ends the look
    Digest digest_;
    std::uint64_t length_ = 0;
    ByteBuffer pending_;               // data not yet looked through for a window
    std::uint64_t pendingAt_ = 0;      // where pending_ starts in the data
    bool windowFound_ = false;         // as wide as it is worth: nothing more is looked through
    std::size_t lookedPastDetail_ = 0; // positions looked through since a telling key
    Fingerprint made_;
    search_stages::TellingKeys telling_;
    std::uint32_t periods_ = (std::uint32_t{1} << longestPeriod) - 1; // bit d - 1: period d holds
    std::uint64_t brokenAt_[longestPeriod]; // where each period stopped holding, if it did
    ByteBuffer head_;                       // the first bytes, for a periodic fingerprint's keys
    ByteBuffer tail_;                       // the last longestPeriod bytes, for the periods' check
    ByteBuffer last_;                       // the last bytes, for the last key
};

// Whether a fingerprint read from elsewhere is one the search can use: every key it names lies
// within the data, its window or pattern has the shape a FingerprintMaker gives, and it holds no
// more keys than `maxStride` (a power of two). A fingerprint that is not is never searched for.
[[nodiscard]] bool isWellFormed(const Fingerprint& fingerprint, std::size_t maxStride);

// The fingerprint of data held whole.
[[nodiscard]] Fingerprint fingerprintOf(Bytes data, std::size_t maxStride);

} // namespace dyeloom
