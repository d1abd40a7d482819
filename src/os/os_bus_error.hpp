// POSIX only, inside the platform layer: keeps SIGBUS from ending the process when a mapped
// file cannot be read (it was truncated under the mapping, or a page could not be read in).
#pragma once

#include <cstddef>

namespace dyeloom::os::bus_error {

// From now until unguard(), a SIGBUS inside [address, address + size) maps zero pages over the
// rest of the region and marks it damaged, and the faulting read goes on. Returns false when
// every guard slot is taken (the region then stays unguarded).
bool guard(const void* address, std::size_t size) noexcept;
void unguard(const void* address) noexcept;
bool damaged(const void* address) noexcept;

} // namespace dyeloom::os::bus_error
