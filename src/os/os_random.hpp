// Random bytes from the system's generator, for names that must differ from every other run's.
#pragma once

#include "bytes.hpp"

#include <system_error>

namespace dyeloom::os {

// Fills `into` with bytes from the system's cryptographic generator.
[[nodiscard]] std::error_code randomBytes(MutableBytes into);

} // namespace dyeloom::os
