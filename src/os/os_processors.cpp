#include "os_process.hpp"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace dyeloom::os {

unsigned processorsToUse() {
    constexpr unsigned most = 64;
    if (const char* asked = std::getenv("DYELOOM_THREADS")) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(asked, &end, 10);
        if (end != asked && *end == '\0' && value >= 1 && value <= most)
            return static_cast<unsigned>(value);
    }
    const unsigned machine = std::thread::hardware_concurrency();
    return machine == 0 ? 1 : std::min(machine, most);
}

} // namespace dyeloom::os
