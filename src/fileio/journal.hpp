// The rollback journal: the bytes a patch is about to overwrite, kept in a file beside the
// archive from before the first of them changes until the new ones are on the disk, so that an
// interruption at any moment in between (a signal, a crash, lost power) can be undone by the
// next run. One journal holds every span of a patch, so that the patch is undone whole.
//
// The file, all numbers little-endian:
//    0  "DYELOOM-JOURNAL"  15 bytes
//   15  state              'A': active, it can restore; 'D': done, its patch completed
//   16  version            u32, 2; 4 for a patch of several archives, which names its
//                                  super-journal and the patch (3: without the patch)
//   20  archive device     u64     which archive, and which of its bytes:
//   28  archive file       u64
//   36  archive size       u64
//   44  spans              u64     how many, at least one
//   52  length             u64     the bytes of all spans together
//   60  super-journal      u32     bytes of the patch and the name below; 0 in version 2
//   64  the spans, 24 bytes each, in the archive's order and apart from one another:
//         offset u64, length u64, surroundings u32 (CRC-32C of up to 4 KiB on each side of the
//         span, short of any other span), reserved u32
//   64 + 24 x spans        version 4 only: the patch, 16 bytes (super_journal.hpp); then, in
//                          versions 3 and 4, where the super-journal of the patch lies: its name
//                          alone when it lies beside the journal, its full path otherwise
//   ...                    the journalled bytes, span after span
//   ... + length           u32     CRC-32C of everything from byte 16 on
// The state byte is left out of the checksum so that it can change alone, in one sector.
// Version 1, written by earlier releases, is the one-span case without a table: its offset,
// length and surroundings stand at 44, 52 and 60, and its bytes follow at 64.
#pragma once

#include "bytes.hpp"
#include "os_file.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace dyeloom {

// Journalled and written bytes are copied in pieces of this size: the heap stays small whatever
// the texture's size, a stop signal is seen within a piece's time, and each piece is large enough
// that the calls cost nothing next to the disk.
inline constexpr std::size_t journalPieceBytes = std::size_t{1} << 20;

// Where the journal of an archive lives: beside the archive's real file, whatever links led to
// it, so that a run through any link or through the real path finds the same journal.
struct JournalLocation {
    std::string path;  // to reach it by
    std::string shown; // to name it by in messages: in the folder the archive's path was typed
                       // with, unless the archive was reached through a link to another folder
};

// Locates the journal of the archive at `archivePath`. Fails with the system's reason when the
// archive's real file cannot be resolved (nothing there, or a path that is not a file's).
[[nodiscard]] std::error_code locateJournal(const std::string& archivePath,
                                            JournalLocation& location);

// The journal's file name for an archive named `archiveName`: the name and a suffix, or where
// that would be longer than a file name may be, the name's first bytes and a hash of all of it.
std::string journalNameFor(const std::string& archiveName);
// The same rule for another of the archive's files, named by `suffix` (the super-journal's).
std::string fileNameFor(const std::string& archiveName, const std::string& suffix);
// The suffixes of journals and super-journals: files so named are never archives.
inline constexpr char journalSuffix[] = ".dyeloom-journal";
inline constexpr char superJournalSuffix[] = ".dyeloom-super-journal";

struct JournalSpan {
    std::uint64_t offset = 0; // first journalled byte of the archive
    std::uint64_t length = 0; // bytes journalled
    std::uint32_t surroundings = 0;
};

// A random number naming one patch of several archives, in its super-journal and in each of its
// journals, so that they know one another wherever the game's folder goes, and a super-journal
// of another patch is never taken for theirs. All zeros: none (a journal of version 3).
using PatchId = std::array<std::uint8_t, 16>;

// Whether `patch` is a patch's number, not the all-zeros of none.
inline bool isNumbered(const PatchId& patch) {
    for (const std::uint8_t byte : patch)
        if (byte != 0)
            return true;
    return false;
}

struct JournalHeader {
    os::FileIdentity archive;
    std::uint64_t archiveSize = 0;
    std::vector<JournalSpan> spans; // in the archive's order, apart from one another
    // The super-journal of a patch of several archives, as the journal names it; empty for a
    // patch of one.
    std::string superJournal;
    PatchId patch{};

    [[nodiscard]] std::uint64_t length() const noexcept;
};

// The checksum of the archive's bytes on either side of spans[which], short of its neighbours.
// A patch never changes them, so they recognise the archive even where its identity has changed
// since the journal was written (a copy of it, or a file system that numbers files anew each
// mount). `spans` must be in the archive's order and apart from one another.
[[nodiscard]] std::error_code surroundingsOf(const os::File& archive, std::uint64_t archiveSize,
                                             std::span<const JournalSpan> spans, std::size_t which,
                                             std::uint32_t& checksum);

class Journal {
public:
    enum class State {
        Valid,      // complete and checked: it can restore
        Done,       // its patch completed; nothing to restore
        Incomplete, // cut short while being written, before the archive was touched
        Unknown,    // not a journal this version can read; nobody should delete it blindly
    };

    // Creates the journal at `where`, which must not exist yet, and writes `header` into it.
    [[nodiscard]] static std::error_code create(const JournalLocation& where,
                                                const JournalHeader& header, Journal& journal);
    // Opens what is at `where` for reading, without following a symbolic link there (that fails
    // with an error os::isLink() recognises); `status` says what was opened, so that the caller
    // can decide whether to trust it before reading it.
    [[nodiscard]] static std::error_code open(const JournalLocation& where, Journal& journal,
                                              os::FileStatus& status);
    // Reads the opened journal and checks all of it.
    [[nodiscard]] std::error_code check(State& state);
    // Reads no more of the opened journal than its head, for the super-journal it names and the
    // patch it belongs to, even where the rest is cut short: empty and all zeros for a journal
    // that names none, or that is not one this version can read.
    [[nodiscard]] std::error_code readPairing(std::string& superJournal, PatchId& patch) const;

    // Adds the next journalled bytes, span after span; all `header.length()` of them must come
    // before seal().
    [[nodiscard]] std::error_code append(Bytes bytes);
    // Writes the checksum and flushes the journal and its folder: from then on it can restore.
    [[nodiscard]] std::error_code seal();
    // Writes the first `count` journalled bytes (span after span) back over the archive and
    // flushes it.
    [[nodiscard]] std::error_code restore(const os::File& archive, std::uint64_t count) const;
    // Marks the journal done and removes it. Fails only if it may still be found active: that
    // is, if it could neither be marked done nor be removed for good.
    [[nodiscard]] std::error_code retire();
    // Removes a journal that has nothing to restore (Incomplete or Done), flushing the folder.
    [[nodiscard]] std::error_code remove();

    [[nodiscard]] const JournalHeader& header() const noexcept { return header_; }
    [[nodiscard]] bool opened() const noexcept { return !where_.path.empty(); }
    // The journal's name as messages give it.
    [[nodiscard]] const std::string& shown() const noexcept { return where_.shown; }

private:
    JournalLocation where_;
    os::File file_;
    JournalHeader header_;
    std::uint64_t dataAt_ = 0; // where the journalled bytes begin in the file
    std::uint64_t appended_ = 0;
    std::uint32_t checksum_ = 0; // running CRC-32C of what the checksum covers
};

} // namespace dyeloom
