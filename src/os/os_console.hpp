// The process's command line and console, as UTF-8 text on every platform.
#pragma once

#include <string>
#include <vector>

namespace dyeloom::os {

// While alive, the console shows UTF-8 output as text (Windows consoles default to a legacy
// code page); the previous setting comes back when it goes. Elsewhere it does nothing.
class Utf8Console {
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

#ifdef _WIN32
private:
    unsigned previous_ = 0;
#endif
};

// Whether standard output is a terminal (a console on Windows), where a line can be rewritten
// in place.
bool outputIsTerminal();

#ifdef _WIN32
// The wide command line converted to UTF-8, so no character is lost to the code page.
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv);
#endif

} // namespace dyeloom::os
