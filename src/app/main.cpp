#include "os_console.hpp"
#include "os_process.hpp"
#include "run_patcher.hpp"

#ifdef _WIN32
#include <vector>

// The wide entry point: narrow arguments would arrive already squeezed into the system's code
// page, and a path with characters outside it could not be opened.
int wmain(int argc, wchar_t** argv) {
    dyeloom::os::prepareProcess();
    const dyeloom::os::Utf8Console console;
    const std::vector<std::string> arguments = dyeloom::os::utf8Arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const auto& argument : arguments)
        pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return dyeloom::runPatcher(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    dyeloom::os::prepareProcess();
    return dyeloom::runPatcher(argc, argv);
}
#endif
