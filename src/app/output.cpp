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

void releaseSignals(os::StopSignals& signals) {
    std::fflush(stdout);
    signals.release();
}

} // namespace dyeloom
