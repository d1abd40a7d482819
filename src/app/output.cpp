#include "output.hpp"

#include "text.hpp"

#include <cstdio>

namespace dyeloom {

void print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
}

void printRecovery(const Recovery& recovery, const std::string& archive) {
    switch (recovery.outcome) {
    case Recovery::Outcome::Restored:
        print("restored " + spanText(recovery.spans, recovery.firstByte, recovery.lastByte) +
              " of " + quoted(archive) + " from the journal of an interrupted patch\n");
        break;
    case Recovery::Outcome::RemovedIncomplete:
        print("removed " + quoted(recovery.journalPath) + ", the journal of a patch " +
              "interrupted before it changed " + quoted(archive) + "\n");
        break;
    case Recovery::Outcome::RemovedDone:
    case Recovery::Outcome::NoJournal:
        break;
    }
}

void printJournalFinding(const JournalFinding& finding, const std::string& archive) {
    const std::string journal = quoted(finding.journal) +
                                ", the journal of an interrupted patch of " + quoted(archive) +
                                ", is kept (check only): ";
    switch (finding.kind) {
    case JournalFinding::Kind::Restores:
        print(journal + "a run would first restore " +
              spanText(finding.restores.spans, finding.restores.firstByte,
                       finding.restores.lastByte) +
              " from it; the lines below are for the archive as it is now\n");
        break;
    case JournalFinding::Kind::Removes:
        print(journal + "it has nothing to restore, and a run would remove it\n");
        break;
    case JournalFinding::Kind::Refused:
        print("a run would stop here: " + finding.reason + "\n");
        break;
    case JournalFinding::Kind::None:
        break;
    }
    if (!finding.superJournal.empty())
        print("a run would then remove " + quoted(finding.superJournal) +
              ", the super-journal of that patch, which no other journal of it needs\n");
}

void releaseSignals(os::StopSignals& signals) {
    std::fflush(stdout);
    signals.release();
}

} // namespace dyeloom
