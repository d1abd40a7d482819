// Writing a patch into the archive, all of it or none of it.
#pragma once

#include "bytes.hpp"
#include "os_process.hpp"
#include "recovery.hpp"

#include <cstdint>
#include <span>
#include <string>

namespace dyeloom {

// One span of a patch: where it lies in the archive, and how long it is.
struct PatchSpan {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// The bytes of a patch's spans, asked for a piece at a time as the spans are journalled and
// written, so that a patch of any size holds only a piece in memory. The pieces of each span
// arrive in order from its start, the spans in the patch's order.
class PatchBytes {
public:
    virtual ~PatchBytes() = default;
    // Called under the archive's lock before anything is journalled. Throws, with nothing
    // written, when a replacement cannot be read as it was when it was searched.
    virtual void prepare() {}
    // Whether `piece`, the archive's bytes `at` bytes into span `span`, are those the search
    // found there. The answer may wait for the span's last piece.
    virtual bool holdsExpected(std::size_t span, std::uint64_t at, Bytes piece) = 0;
    // Fills `into` with the replacement's bytes `at` bytes into span `span`. Throws when they
    // are not those it held when it was searched (its last piece tells at the latest).
    virtual void readReplacement(std::size_t span, std::uint64_t at, MutableBytes into) = 0;
};

// Overwrites every span of `spans` (in the archive's order, apart from one another, none empty)
// in place, as one patch, through the protocol described in archive_writer.cpp: the file keeps
// its length, inode, links and permissions. It returns, with what recovery did first, only once
// all the new bytes are on the disk and the journal is gone; otherwise it throws a message that
// names the file, the reason and the state the archive is left in. Stop signals are held
// throughout (the caller releases them).
Recovery writeArchive(const std::string& path, std::span<const PatchSpan> spans, PatchBytes& bytes,
                      os::StopSignals& signals);

// One span of a patch held in memory: the bytes the archive holds at `offset` when it is
// searched, and the bytes that replace them, of the same size.
struct SpanPatch {
    std::uint64_t offset = 0;
    Bytes expected;
    Bytes replacement;
};

// writeArchive for spans whose bytes are all in memory.
Recovery writeArchive(const std::string& path, std::span<const SpanPatch> spans,
                      os::StopSignals& signals);

} // namespace dyeloom
