// What the run prints, and the pieces its messages share. The run is the only part of Dyeloom
// that prints; everything goes to standard output.
#pragma once

#include "os_process.hpp"
#include "recovery.hpp"
#include "text.hpp"

#include <string>

namespace dyeloom {

// The command line of a run past the program's name.
struct Arguments {
    std::string archive;
    std::string original;
    std::string modded;
    const char* headerBytes;
};

void print(const std::string& text);

// Says what was done about the journal an interrupted patch had left, if anything.
void printRecovery(const Recovery& recovery, const std::string& archive);

// Says what a run would do about a journal an interrupted patch left, found by a run that only
// checks and keeps it.
void printJournalFinding(const JournalFinding& finding, const std::string& archive);

// Lets a stop signal held while the archive was being changed take effect, once everything
// printed so far is out: the signal ends the process without flushing its buffers.
void releaseSignals(os::StopSignals& signals);

} // namespace dyeloom
