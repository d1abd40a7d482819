// The super-journal of a patch of several archives: the one file whose removal commits the patch
// of all of them. Each archive's journal names it; while it exists, every journal that it lists
// restores its archive, and once it is gone, every journal left of the patch belongs to a
// completed one and is removed without restoring anything (the commit point of
// game_writer.cpp).
//
// It lies beside the first archive's journal, named after that archive: one patch at a time
// holds that archive's lock, so no two patches ever make it at once. The file, all numbers
// little-endian:
//    0  "DYELOOM-SUPERJN"  15 bytes
//   15  reserved           u8      0
//   16  version            u32     1
//   20  journals           u32     how many, at least two
//   24  each journal's path as its run located it: length u32, then the bytes
//   ... CRC-32C            u32     of everything from byte 16 on
#pragma once

#include "journal.hpp"
#include "os_file.hpp"

#include <string>
#include <system_error>
#include <vector>

namespace dyeloom {

// Where the super-journal of a patch whose first archive's journal lies at `first` belongs.
[[nodiscard]] JournalLocation superJournalBeside(const JournalLocation& first);

// How a journal at `journalPath` names the super-journal at `superPath`: its name alone when they
// share a folder, so that a game moved or copied whole keeps its patch's commit point; its full
// path otherwise. And back.
[[nodiscard]] std::string superJournalReference(const std::string& journalPath,
                                                const std::string& superPath);
[[nodiscard]] std::string superJournalPath(const std::string& journalPath,
                                           const std::string& reference);

// Writes a new super-journal at `where` listing `journals`, and flushes it and its folder.
// A failure leaves nothing there, or a file a later run recognises as cut short.
[[nodiscard]] std::error_code createSuperJournal(const JournalLocation& where,
                                                 const std::vector<std::string>& journals);

// What a super-journal says. Opened without following a symbolic link (that fails with an error
// os::isLink() recognises); `status` describes the file opened, for the caller to decide whether
// to trust it.
struct SuperJournalContents {
    bool wellFormed = false; // whole and checked; otherwise not one this version can read
    std::vector<std::string> journals;
};
[[nodiscard]] std::error_code readSuperJournal(const std::string& path, os::FileStatus& status,
                                               SuperJournalContents& contents);

// The first journal `contents` lists that is still on the disk (anything at its name, which a
// run would have to deal with first), or "" once none is: the super-journal is spent.
[[nodiscard]] std::string journalLeftOf(const SuperJournalContents& contents);

} // namespace dyeloom
