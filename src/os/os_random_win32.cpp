#include "os_random.hpp"

#include <algorithm>
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

namespace dyeloom::os {

std::error_code randomBytes(MutableBytes into) {
    for (std::size_t done = 0; done < into.size();) {
        const auto count = static_cast<ULONG>(std::min<std::size_t>(into.size() - done, 1 << 30));
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, into.data() + done, count,
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return std::make_error_code(std::errc::io_error);
        done += count;
    }
    return {};
}

} // namespace dyeloom::os
