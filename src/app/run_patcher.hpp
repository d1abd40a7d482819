#pragma once

namespace dyeloom {

// One whole run of the patcher, from the command line to the exit status: 0 once the search
// ran (texture replaced or not found), 1 for a usage error or any failure, whose text is
// printed on standard output.
int runPatcher(int argc, const char* const* argv);

} // namespace dyeloom
