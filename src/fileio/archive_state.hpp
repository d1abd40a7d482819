// What a failure leaves the archive as, in the words every message ends with: one place, so that
// every message says it the same way.
#pragma once

#include "text.hpp"

#include <string>

namespace dyeloom::archive_left {

// Nothing was written: the archive is as it was before the run.
inline std::string unchanged() {
    return "; the archive is unchanged";
}
// The failure came before the first write.
inline std::string nothingWritten() {
    return "; nothing was written";
}
// The failure came before anything, archive or journal, was touched.
inline std::string nothingChanged() {
    return "; nothing was changed";
}
// Bytes were written, and the journal put the original ones back.
inline std::string putBack() {
    return "; the original bytes were put back and the archive is unchanged";
}
// A journal of an interrupted patch stays beside the archive, for the next run.
inline std::string journalKept(const std::string& journal) {
    return nothingChanged() + ", and its journal " + quoted(journal) +
           " of an interrupted patch is kept";
}

// A file at the journal's name that is not used stays as it is.
inline std::string foreignJournalKept() {
    return nothingChanged() + ", and it is kept";
}
// A journal could not be restored: it stays, and the next run tries again.
inline std::string restoreRetried() {
    return "; the journal is kept, and the next run on this archive will try again";
}
// Bytes were written, and putting the original ones back failed for `reason`: the journal keeps
// them for the next run.
inline std::string journalKeepsThem(const std::string& journal, const std::string& reason) {
    return "; putting the original bytes back failed too (" + reason + "): the journal " +
           quoted(journal) + " keeps them, and the next run on this archive will put them back";
}

} // namespace dyeloom::archive_left
