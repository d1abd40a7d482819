#include "output.hpp"

#include <cstdio>

namespace dyeloom {
namespace {

// "bytes F to L" of one span, "N spans between bytes F and L" of several.
std::string spansText(const Recovery& spans) {
    const std::string first = std::to_string(spans.firstByte);
    const std::string last = std::to_string(spans.lastByte);
    return spans.spans > 1
               ? std::to_string(spans.spans) + " spans between bytes " + first + " and " + last
               : "bytes " + first + " to " + last;
}

} // namespace

void print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

void printRecovery(const Recovery& recovery, const std::string& archive) {
    switch (recovery.outcome) {
    case Recovery::Outcome::Restored:
        print("restored " + spansText(recovery) + " of " + quoted(archive) +
              " from the journal of an interrupted patch\n");
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
