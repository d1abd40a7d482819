// The header-count parser against strtol in the C locale, which it mirrors.
#include "header_bytes.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Command-line arguments cannot hold a NUL byte: the text ends at the first one.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));

    char* end = nullptr;
    errno = 0;
    const long expected = std::strtol(text.c_str(), &end, 10);
    const bool noDigits = end == text.c_str();
    const bool outOfRange = errno == ERANGE || expected < INT_MIN || expected > INT_MAX;
    try {
        const std::int32_t value = dyeloom::parseHeaderBytes(text);
        if (noDigits || outOfRange || value != expected)
            std::abort();
    } catch (const std::invalid_argument&) {
        if (!noDigits)
            std::abort();
    } catch (const std::out_of_range&) {
        if (noDigits || !outOfRange)
            std::abort();
    }
    return 0;
}
