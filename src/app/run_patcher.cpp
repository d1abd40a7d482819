#include "run_patcher.hpp"

#include "fileio.hpp"
#include "header_bytes.hpp"
#include "texture_patch.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace dyeloom {
namespace {

struct Arguments {
    std::string archive;
    std::string original;
    std::string modded;
    const char* headerBytes;
};

void print(const char* text) {
    std::fputs(text, stdout);
}

// A modded texture that does not cover the original's span cannot be spliced in; saying so
// before the search spares a long scan that could not end in a patch.
void requireModdedCoversOriginal(const Arguments& args, Bytes original, Bytes modded) {
    if (!moddedCoversOriginal(original, modded))
        throw std::runtime_error(
            "modded texture '" + args.modded + "' is shorter (" + std::to_string(modded.size()) +
            " bytes) than the original texture '" + args.original + "' (" +
            std::to_string(original.size()) + " bytes); the archive is unchanged");
}

void patch(const Arguments& args) {
    const FileView archive = viewFile(args.archive, ReadPattern::Sparse);
    const FileView original = viewFile(args.original, ReadPattern::Whole);
    const FileView modded = viewFile(args.modded, ReadPattern::Whole);
    const std::int32_t headerBytes = parseHeaderBytes(args.headerBytes);
    requireModdedCoversOriginal(args, original.bytes(), modded.bytes());

    const auto matchOffset = findTextureOffset(archive.bytes(), original.bytes(), headerBytes);
    if (!matchOffset) {
        print("texture data is not found\n");
        return;
    }
    const TextureSplice splice =
        spliceTexture(original.bytes(), modded.bytes(), headerBytes, *matchOffset);
    writeArchive(args.archive, splice.archiveOffset, splice.replaced, splice.replacement);
    print("texture data is replaced\n");
}

void report(const char* text) {
    print(text);
    print("\n");
}

} // namespace

int runPatcher(int argc, const char* const* argv) {
    try {
        if (argc != 5) {
            std::printf("howto use: Dyeloom.exe filename.asf originalTexture.dds "
                        "moddedTexture.dds dds_header_bytes\n");
            return 1;
        }
        patch({argv[1], argv[2], argv[3], argv[4]});
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

} // namespace dyeloom
