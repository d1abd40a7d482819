#include "search/pass_stretch.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace dyeloom::search_stages {
namespace {

// A needle whose failed verifications cost more than this many times the bytes probed so far,
// plus its length and the slack, goes to its rare-byte scan for the rest of the stretch: that
// keeps the cost per byte bounded on any data.
constexpr std::size_t verifyCostFactor = 4;
constexpr std::size_t verifySlackBytes = 4096;
// A candidate is first compared this far on each side of its key: those bytes are on the key's
// cache lines, and most false candidates fail there.
constexpr std::size_t aroundKeyBytes = 64;
// Past its key's surroundings, a candidate is compared this much at a time, so that one that
// parts from the needle early (another crop of the same picture) costs what it compared.
constexpr std::size_t verifyPieceBytes = 1024;
// The stretch is announced to the reader this much at a time, ahead of the probes.
constexpr std::size_t announcedBytes = std::size_t{4} << 20;

class PassRun {
public:
    PassRun(std::span<const PassGroup> groups, const Haystack& haystack, const PassNeedles& needles,
            Stretch stretch)
        : groups_(groups), haystack_(haystack), needles_(needles), stretch_(stretch) {}

    void run();

private:
    struct Member {
        std::size_t needle = 0;
        std::size_t last = 0; // its last candidate in the stretch
        bool endsNeedle = false;
        bool closed = false;
        std::size_t cost = 0;
        std::optional<std::size_t> best;
    };

    [[nodiscard]] std::size_t open();
    void announceFrom(std::size_t probe);
    void candidate(std::size_t needle, std::size_t position, std::size_t probe);
    [[nodiscard]] bool matches(Member& member, std::size_t offset, std::size_t position);
    void handOver(Member& member);
    void close(Member& member, std::optional<std::size_t> offset);

    std::span<const PassGroup> groups_;
    const Haystack& haystack_;
    const PassNeedles& needles_;
    Stretch stretch_;
    std::vector<Member> members_;
    std::vector<std::size_t> memberOf_;  // by needle: its place in members_, or none
    std::vector<std::size_t> foundHere_; // members matched at the probe under way
    std::size_t openCount_ = 0;
    std::size_t announcedUntil_ = 0;
};

void PassRun::run() {
    const std::size_t lastProbe = open();
    const std::size_t stride = groups_.front().stride;
    const std::uint8_t* bytes = haystack_.bytes.data();
    for (std::size_t probe = (stretch_.first + stride - 1) / stride * stride;
         probe <= lastProbe && openCount_ > 0; probe += stride) {
        if (probe >= announcedUntil_)
            announceFrom(probe);
        const std::uint64_t key = keyAt(bytes + probe);
        for (const PassGroup& group : groups_) {
            if ((probe & (group.stride - 1)) != 0) // strides are powers of two
                break;
            if (group.table.mayHold(key))
                group.table.lookUp(key, [&](std::size_t needle, std::size_t position) {
                    candidate(needle, position, probe);
                });
        }
        // A needle's candidates meet its window at probes in the order of their offsets, so no
        // later probe can propose a lower one than a match found here.
        for (const std::size_t k : foundHere_)
            if (!members_[k].closed)
                close(members_[k], members_[k].best);
        foundHere_.clear();
    }
    for (Member& member : members_)
        if (!member.closed && (member.best || member.endsNeedle))
            close(member, member.best);
}

// Opens the members not yet done, and returns the last position to probe for them.
std::size_t PassRun::open() {
    memberOf_.assign(needles_.bytes.size(), SIZE_MAX);
    std::size_t lastProbe = 0;
    for (const PassGroup& group : groups_)
        for (const std::size_t i : group.members) {
            const NeedleOutcome& outcome = needles_.outcomes[i];
            if (outcome.done || stretch_.first > outcome.lastCandidate)
                continue;
            const std::size_t last = std::min(stretch_.last, outcome.lastCandidate);
            memberOf_[i] = members_.size();
            members_.push_back({i, last, last == outcome.lastCandidate, false, 0, std::nullopt});
            // The probe that meets the window of a candidate at `last` lies within a stride.
            lastProbe = std::max(lastProbe, last + needles_.windows[i].start + group.stride - 1);
        }
    openCount_ = members_.size();
    return std::min(lastProbe, haystack_.bytes.size() - keyBytes);
}

void PassRun::announceFrom(std::size_t probe) {
    const std::size_t size = haystack_.bytes.size();
    announcedUntil_ = probe + std::min(announcedBytes, size - probe);
    announce(haystack_.reader, haystack_.bytes.subspan(probe, announcedUntil_ - probe));
    // Needles another one's match gave up are done: they keep nothing open.
    for (Member& member : members_)
        if (!member.closed && needles_.outcomes[member.needle].done) {
            member.closed = true;
            --openCount_;
        }
}

void PassRun::candidate(std::size_t needle, std::size_t position, std::size_t probe) {
    if (memberOf_[needle] == SIZE_MAX || position > probe)
        return;
    Member& member = members_[memberOf_[needle]];
    const std::size_t offset = probe - position;
    if (member.closed || needles_.outcomes[needle].done || offset < stretch_.first ||
        offset > member.last || (member.best && offset >= *member.best))
        return;
    if (matches(member, offset, position)) {
        member.best = offset;
        foundHere_.push_back(memberOf_[needle]);
    } else if (member.cost >
               verifyCostFactor * (probe - stretch_.first + needles_.bytes[needle].size()) +
                   verifySlackBytes) {
        handOver(member);
    }
}

bool PassRun::matches(Member& member, std::size_t offset, std::size_t position) {
    const Bytes needle = needles_.bytes[member.needle];
    const std::uint8_t* at = haystack_.bytes.data() + offset;
    const std::size_t from = position - std::min(position, aroundKeyBytes);
    const std::size_t to = std::min(needle.size(), position + keyBytes + aroundKeyBytes);
    if (std::memcmp(at + from, needle.data() + from, to - from) != 0) {
        member.cost += to - from;
        return false;
    }
    announce(haystack_.reader, haystack_.bytes.subspan(offset, needle.size()));
    for (std::size_t piece = 0; piece < needle.size(); piece += verifyPieceBytes) {
        const std::size_t length = std::min(verifyPieceBytes, needle.size() - piece);
        member.cost += length;
        if (std::memcmp(at + piece, needle.data() + piece, length) != 0)
            return false;
    }
    return true;
}

// The needle's candidates in this stretch cost too much to verify one by one (repetitive data):
// its rare-byte scan settles the whole stretch for it, with a cost bounded on any data.
void PassRun::handOver(Member& member) {
    const Stretch own{stretch_.first, member.last};
    const auto found = needles_.scans[member.needle].find(haystack_.bytes, own, haystack_.reader);
    if (found || member.endsNeedle)
        close(member, found);
    else {
        member.closed = true;
        --openCount_;
    }
}

void PassRun::close(Member& member, std::optional<std::size_t> offset) {
    member.closed = true;
    --openCount_;
    needles_.sink.finish(member.needle, offset);
}

} // namespace

void passStretch(std::span<const PassGroup> groups, const Haystack& haystack,
                 const PassNeedles& needles, Stretch stretch) {
    if (groups.empty() || haystack.bytes.size() < keyBytes)
        return;
    PassRun(groups, haystack, needles, stretch).run();
}

} // namespace dyeloom::search_stages
