#include "os_random.hpp"

#include <cerrno>
#include <sys/random.h>

namespace dyeloom::os {

std::error_code randomBytes(MutableBytes into) {
    for (std::size_t done = 0; done < into.size();) {
        const ssize_t got = ::getrandom(into.data() + done, into.size() - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {errno, std::system_category()};
        done += static_cast<std::size_t>(got);
    }
    return {};
}

} // namespace dyeloom::os
