#include "os_console.hpp"

#ifdef _WIN32
#include "os_utf8.hpp"

#include <windows.h>
#else
#include <unistd.h>
#endif

namespace dyeloom::os {

#ifdef _WIN32
Utf8Console::Utf8Console() : previous_(GetConsoleOutputCP()) {
    if (previous_ != 0)
        SetConsoleOutputCP(CP_UTF8);
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0)
        SetConsoleOutputCP(previous_);
}

std::vector<std::string> utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(wideToUtf8(argv[i]));
    return arguments;
}

bool outputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
#else
Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

bool outputIsTerminal() {
    return ::isatty(STDOUT_FILENO) != 0;
}
#endif

} // namespace dyeloom::os
