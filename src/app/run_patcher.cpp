#include "run_patcher.hpp"

#include "file_view.hpp"
#include "mod_install.hpp"
#include "output.hpp"
#include "single_run.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace dyeloom {
namespace {

// Whether the two textures named are folders of them. One folder beside one file is the
// single-texture form, which refuses the folder as it refuses any file it cannot load.
bool namesFolders(const Arguments& args) {
    // A path whose kind cannot be told is taken for a file: loading it then says why it fails.
    for (const std::string* path : {&args.original, &args.modded}) {
        bool folder = false;
        if (const auto error = os::isFolder(*path, folder); error || !folder)
            return false;
    }
    return true;
}

void report(const std::string& text) {
    print(text + "\n");
}

int runCatchingErrors(int argc, const char* const* argv, os::StopSignals& signals) {
    try {
        if (argc != 5) {
            std::printf("howto use: Dyeloom.exe filename.asf originalTexture.dds "
                        "moddedTexture.dds dds_header_bytes\n");
            return 1;
        }
        const Arguments args{argv[1], argv[2], argv[3], argv[4]};
        if (namesFolders(args))
            installMod(args, signals);
        else
            patchOneTexture(args, signals);
        return 0;
    } catch (const CantOpenError& error) {
        std::printf("can't open '%s'\n", error.path().c_str());
        report(error.what());
    } catch (const std::bad_alloc&) {
        // The library's own text for this differs between platforms.
        report("bad allocation");
    } catch (const std::exception& error) {
        report(error.what());
    } catch (...) {
        report("fatal error");
    }
    return 1;
}

} // namespace

int runPatcher(int argc, const char* const* argv) {
    os::StopSignals signals;
    const int status = runCatchingErrors(argc, argv, signals);
    releaseSignals(signals);
    return status;
}

} // namespace dyeloom
