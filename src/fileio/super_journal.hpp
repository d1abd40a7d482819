// The super-journal of a patch of several archives: the one file whose removal commits the patch
// of all of them. Each archive's journal names it and the patch; while it exists, every journal
// of its patch restores its archive, and once it is gone, every journal left of the patch
// belongs to a completed one and is removed without restoring anything (the commit point of
// game_writer.cpp).
//
// It lies beside the first archive's journal, named after that archive: one patch at a time
// holds that archive's lock, so no two patches ever make it at once. It names its journals as
// they name it: by name alone where they lie beside it, by full path elsewhere, so that a game's
// folder moved or copied whole keeps them paired. The file, all numbers little-endian:
//    0  "DYELOOM-SUPERJN"  15 bytes
//   15  reserved           u8      0
//   16  version            u32     2 (1: written by earlier releases, without the patch, every
//                                  journal by full path)
//   20  journals           u32     how many, at least two
//   24  patch              16 bytes, random: the same in each of its journals (version 2 only)
//   40  each journal: length u32, then its name or path (24 in version 1)
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
// path otherwise. And back. A super-journal names its journals by the same rule, from its side.
[[nodiscard]] std::string superJournalReference(const std::string& journalPath,
                                                const std::string& superPath);
[[nodiscard]] std::string superJournalPath(const std::string& journalPath,
                                           const std::string& reference);

// A new patch's number, from the system's generator.
[[nodiscard]] std::error_code newPatchId(PatchId& patch);

// Writes a new super-journal of `patch` at `where` listing `journals` (their paths as located),
// and flushes it and its folder. A patch of all zeros writes version 1, as earlier releases did.
// A failure leaves nothing there, or a file a later run recognises as cut short.
[[nodiscard]] std::error_code createSuperJournal(const JournalLocation& where,
                                                 const std::vector<std::string>& journals,
                                                 const PatchId& patch = {});

// What a super-journal says. Opened without following a symbolic link (that fails with an error
// os::isLink() recognises); `status` describes the file opened, for the caller to decide whether
// to trust it.
struct SuperJournalContents {
    bool wellFormed = false;           // whole and checked; otherwise not one this version can read
    PatchId patch{};                   // all zeros in version 1
    std::vector<std::string> journals; // paths, those named by name alone beside the file read
};
[[nodiscard]] std::error_code readSuperJournal(const std::string& path, os::FileStatus& status,
                                               SuperJournalContents& contents);

// The first journal of the patch `contents` lists that is still on the disk, other than those of
// `settled` (journals a run deals with before it gets there), or "" once none is: the
// super-journal is spent. A journal there counts unless it is known to be another patch's: one
// that names another patch, or none. A super-journal of version 1 names its journals by full path
// only; one by the same name beside it counts too, as its folder may have been moved.
[[nodiscard]] std::string journalLeftOf(const std::string& superPath,
                                        const SuperJournalContents& contents,
                                        const std::vector<std::string>& settled = {});

} // namespace dyeloom
