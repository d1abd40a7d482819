// The file a fuzz target hands its readers: one for the whole run, rewritten with each input.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace dyeloom::fuzzing {

// Writes the input to the run's scratch file, made from `pattern` (ending in XXXXXX) the first
// time, and returns its path.
inline const std::string& writeScratch(const char* pattern, const std::uint8_t* data,
                                       std::size_t size) {
    static const std::string path = [pattern] {
        std::string name = pattern;
        const int fd = ::mkstemp(name.data());
        if (fd < 0)
            std::abort();
        ::close(fd);
        return name;
    }();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

} // namespace dyeloom::fuzzing
