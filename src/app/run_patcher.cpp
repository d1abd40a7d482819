#include "run_patcher.hpp"

#include "archive_reader.hpp"
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

void print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

void printRecovery(const Recovery& recovery, const std::string& archive) {
    switch (recovery.outcome) {
    case Recovery::Outcome::Restored:
        print("restored bytes " + std::to_string(recovery.firstByte) + " to " +
              std::to_string(recovery.lastByte) + " of " + quoted(archive) +
              " from the journal of an interrupted patch\n");
        break;
    case Recovery::Outcome::RemovedIncomplete:
        print("removed " + quoted(recovery.journalPath) + ", the journal of a patch " +
              "interrupted before it changed " + quoted(archive) + "\n");
        break;
    case Recovery::Outcome::RemovedDone:
    case Recovery::Outcome::NoJournal:
        break;
    }
}

// Lets a stop signal held while the archive was being changed take effect, once everything
// printed so far is out: the signal ends the process without flushing its buffers.
void releaseSignals(os::StopSignals& signals) {
    std::fflush(stdout);
    signals.release();
}

// A modded texture that does not cover the original's span cannot be spliced in; saying so
// before the search spares a long scan that could not end in a patch.
void requireModdedCoversOriginal(const Arguments& args, std::uint64_t original,
                                 std::uint64_t modded) {
    if (!moddedCoversOriginal(original, modded))
        throw std::runtime_error("modded texture '" + args.modded + "' is shorter (" +
                                 std::to_string(modded) + " bytes) than the original texture '" +
                                 args.original + "' (" + std::to_string(original) +
                                 " bytes); the archive is unchanged");
}

// The archive may be the original texture itself (a loose texture patched in place), but it
// cannot be the modded one: its bytes would be read while they are overwritten.
void requireModdedIsNotTheArchive(const Arguments& args, const LoadableFile& archive,
                                  const LoadableFile& modded) {
    if (archive.identity == modded.identity)
        throw std::runtime_error("the archive " + quoted(args.archive) +
                                 " and the modded texture " + quoted(args.modded) +
                                 " are the same file; the archive is unchanged");
}

void patch(const Arguments& args, os::StopSignals& signals) {
    // An interrupted patch is undone before anything reads the archive.
    printRecovery(recoverArchive(args.archive, signals), args.archive);
    releaseSignals(signals);

    LoadableFile archiveFile = openToLoad(args.archive);
    LoadableFile originalFile = openToLoad(args.original);
    LoadableFile moddedFile = openToLoad(args.modded);
    const std::int32_t headerBytes = parseHeaderBytes(args.headerBytes);
    requireModdedCoversOriginal(args, originalFile.size, moddedFile.size);
    requireModdedIsNotTheArchive(args, archiveFile, moddedFile);
    // A texture larger than the archive cannot be in it: nothing of either is read.
    if (originalFile.size > archiveFile.size) {
        print("texture data is not found\n");
        return;
    }

    const FileView archive = viewFile(std::move(archiveFile), ReadPattern::Sparse);
    const FileView original = viewFile(std::move(originalFile), ReadPattern::Whole);
    ArchiveReader reader(archive);
    const auto matchOffset =
        findTextureOffset(archive.bytes(), original.bytes(), headerBytes, &reader);
    requireIntact(archive, args.archive);
    requireIntact(original, args.original);
    if (!matchOffset) {
        print("texture data is not found\n");
        return;
    }
    const FileView modded = viewFile(std::move(moddedFile), ReadPattern::Whole);
    const TextureSplice splice =
        spliceTexture(original.bytes(), modded.bytes(), headerBytes, *matchOffset);
    const Recovery recovery = writeArchive(args.archive, splice.archiveOffset, splice.replaced,
                                           splice.replacement, signals);
    printRecovery(recovery, args.archive);
    print("texture data is replaced\n");
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
        patch({argv[1], argv[2], argv[3], argv[4]}, signals);
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
