#include "run_patcher.hpp"

#include "archive_pattern.hpp"
#include "archive_state.hpp"
#include "file_view.hpp"
#include "mod_install.hpp"
#include "output.hpp"
#include "package_install.hpp"
#include "package_pack.hpp"
#include "single_run.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
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

// The texture folders, resolved: files below them are never archives.
std::vector<std::string> textureFolders(const Arguments& args) {
    std::vector<std::string> folders;
    for (const std::string* path : {&args.original, &args.modded}) {
        std::string real;
        if (!os::realPath(*path, real))
            folders.push_back(real);
    }
    return folders;
}

// The archives a mod's run patches: the one named, or every one a pattern matches outside the
// mod's folders.
ModRun modRunFor(const std::string& archive, const std::vector<std::string>& modFolders,
                 bool checkOnly) {
    ModRun run;
    run.checkOnly = checkOnly;
    if (!isArchivePattern(archive)) {
        run.archives = {archive};
        return run;
    }
    run.game = true;
    run.archives = expandArchivePattern(archive, modFolders);
    if (run.archives.empty())
        throw std::runtime_error("no archive matches " + quoted(archive) +
                                 archive_left::nothingChanged());
    return run;
}

void printUsage() {
    std::printf("howto use: Dyeloom.exe filename.asf originalTexture.dds "
                "moddedTexture.dds dds_header_bytes\n");
}

// The forms that start with an option: --pack, --install, and --check of a package or of
// textures. Returns nothing when the arguments are none of them.
std::optional<int> runOptionForm(int argc, const char* const* argv, os::StopSignals& signals) {
    const std::string option = argc > 1 ? argv[1] : "";
    if (option == "--pack" && argc == 6) {
        packMod({argv[2], argv[3], argv[4], argv[5]});
        return 0;
    }
    const bool check = option == "--check";
    if ((option == "--install" || check) && argc == 4) {
        installPackage(argv[3], modRunFor(argv[2], {}, check), signals);
        return 0;
    }
    return std::nullopt;
}

void report(const std::string& text) {
    print(text + "\n");
}

int runCatchingErrors(int argc, const char* const* argv, os::StopSignals& signals) {
    try {
        if (const auto status = runOptionForm(argc, argv, signals))
            return *status;
        const bool checkOnly = argc == 6 && std::string(argv[1]) == "--check";
        if (argc != 5 && !checkOnly) {
            printUsage();
            return 1;
        }
        const char* const* given = argv + (checkOnly ? 2 : 1);
        const Arguments args{given[0], given[1], given[2], given[3]};
        if (namesFolders(args))
            installMod(args, modRunFor(args.archive, textureFolders(args), checkOnly), signals);
        else
            patchOneTexture(args, checkOnly, signals);
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
