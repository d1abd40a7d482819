// The rollback journal: the bytes a patch is about to overwrite, kept in a file beside the
// archive from before the first of them changes until the new ones are on the disk, so that an
// interruption at any moment in between (a signal, a crash, lost power) can be undone by the
// next run.
//
// The file, all numbers little-endian:
//    0  "DYELOOM-JOURNAL"  15 bytes
//   15  state              'A': active, it can restore; 'D': done, its patch completed
//   16  version            u32, 1
//   20  archive device     u64     which archive, and which of its bytes:
//   28  archive file       u64
//   36  archive size       u64
//   44  offset             u64
//   52  length             u64
//   60  surroundings       u32     CRC-32C of up to 4 KiB on each side of the bytes
//   64  the journalled bytes, `length` of them
//   64 + length            u32     CRC-32C of bytes 16 to 63 + length
// The state byte is left out of the checksum so that it can change alone, in one sector.
#pragma once

#include "bytes.hpp"
#include "os_file.hpp"

#include <cstdint>
#include <string>
#include <system_error>

namespace dyeloom {

// Where the journal of an archive lives: beside the archive's real file, whatever links led to
// it, so that a run through any link or through the real path finds the same journal.
struct JournalLocation {
    std::string path;  // to reach it by
    std::string shown; // to name it by in messages: in the folder the archive's path was typed
                       // with, unless the archive was reached through a link to another folder
};

// Locates the journal of the archive at `archivePath`. Fails with the system's reason when the
// archive's real file cannot be resolved (nothing there, or a path that is not a file's).
std::error_code locateJournal(const std::string& archivePath, JournalLocation& location);

// The journal's file name for an archive named `archiveName`: the name and a suffix, or where
// that would be longer than a file name may be, the name's first bytes and a hash of all of it.
std::string journalNameFor(const std::string& archiveName);

struct JournalHeader {
    os::FileIdentity archive;
    std::uint64_t archiveSize = 0;
    std::uint64_t offset = 0; // first journalled byte of the archive
    std::uint64_t length = 0; // bytes journalled
    std::uint32_t surroundings = 0;
};

// The checksum of the archive's bytes on either side of [offset, offset + length). A patch
// never changes them, so they recognise the archive even where its identity has changed since
// the journal was written (a copy of it, or a file system that numbers files anew each mount).
std::error_code surroundingsOf(const os::File& archive, std::uint64_t archiveSize,
                               std::uint64_t offset, std::uint64_t length, std::uint32_t& checksum);

class Journal {
public:
    enum class State {
        Valid,      // complete and checked: it can restore
        Done,       // its patch completed; nothing to restore
        Incomplete, // cut short while being written, before the archive was touched
        Unknown,    // not a journal this version can read; nobody should delete it blindly
    };

    // Creates the journal at `where`, which must not exist yet, and writes `header` into it.
    static std::error_code create(const JournalLocation& where, const JournalHeader& header,
                                  Journal& journal);
    // Opens what is at `where` for reading, without following a symbolic link there (that fails
    // with an error os::isLink() recognises); `status` says what was opened, so that the caller
    // can decide whether to trust it before reading it.
    static std::error_code open(const JournalLocation& where, Journal& journal,
                                os::FileStatus& status);
    // Reads the opened journal and checks all of it.
    std::error_code check(State& state);

    // Adds the next journalled bytes; all `header.length` of them must come before seal().
    std::error_code append(Bytes bytes);
    // Writes the checksum and flushes the journal and its folder: from then on it can restore.
    std::error_code seal();
    // Writes the first `count` journalled bytes back over the archive and flushes it.
    std::error_code restore(const os::File& archive, std::uint64_t count) const;
    // Marks the journal done and removes it. Fails only if it may still be found active: that
    // is, if it could neither be marked done nor be removed for good.
    std::error_code retire();
    // Removes a journal that has nothing to restore (Incomplete or Done), flushing the folder.
    std::error_code remove();

    [[nodiscard]] const JournalHeader& header() const noexcept { return header_; }
    [[nodiscard]] bool opened() const noexcept { return !where_.path.empty(); }
    // The journal's name as messages give it.
    [[nodiscard]] const std::string& shown() const noexcept { return where_.shown; }

private:
    JournalLocation where_;
    os::File file_;
    JournalHeader header_;
    std::uint64_t appended_ = 0;
    std::uint32_t checksum_ = 0; // running CRC-32C of what the checksum covers
};

} // namespace dyeloom
