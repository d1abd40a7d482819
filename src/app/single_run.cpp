#include "single_run.hpp"

#include "archive_lock_wait.hpp"
#include "archive_state.hpp"
#include "archive_writer.hpp"
#include "file_view.hpp"
#include "header_bytes.hpp"
#include "install.hpp"
#include "texture_patch.hpp"

#include <stdexcept>
#include <string>

namespace dyeloom {
namespace {

// A modded texture that does not cover the original's span cannot be spliced in; saying so
// before the search spares a long scan that could not end in a patch.
void requireModdedCoversOriginal(const Arguments& args, std::uint64_t original,
                                 std::uint64_t modded) {
    if (!moddedCoversOriginal(original, modded))
        throw std::runtime_error("modded texture '" + args.modded + "' is shorter (" +
                                 std::to_string(modded) + " bytes) than the original texture '" +
                                 args.original + "' (" + std::to_string(original) + " bytes)" +
                                 archive_left::unchanged());
}

// The archive may be the original texture itself (a loose texture patched in place), but it
// cannot be the modded one: its bytes would be read while they are overwritten.
void requireModdedIsNotTheArchive(const Arguments& args, const LoadableFile& archive,
                                  const LoadableFile& modded) {
    if (archive.identity == modded.identity)
        throw std::runtime_error("the archive " + quoted(args.archive) +
                                 " and the modded texture " + quoted(args.modded) +
                                 " are the same file" + archive_left::unchanged());
}

} // namespace

void patchOneTexture(const Arguments& args, bool checkOnly, os::StopSignals& signals) {
    // Held to the end of the run: no other run writes the archive between the search and the
    // write, nor while it is read.
    ArchiveLocks locks =
        lockArchives(std::span(&args.archive, 1),
                     checkOnly ? ArchiveLocks::Purpose::Check : ArchiveLocks::Purpose::Patch);
    // An interrupted patch is undone before anything reads the archive.
    std::vector<std::string> settled;
    if (checkOnly)
        printJournalFinding(inspectJournal(args.archive, settled), args.archive);
    else
        printRecovery(recoverUnderLock(locks, args.archive, signals), args.archive);
    releaseSignals(signals);
    const std::string checked = checkOnly ? "nothing was written (check only)\n" : "";

    LoadableFile archiveFile = openToLoad(args.archive);
    LoadableFile originalFile = openToLoad(args.original);
    LoadableFile moddedFile = openToLoad(args.modded);
    const std::int32_t headerBytes = parseHeaderBytes(args.headerBytes);
    requireModdedCoversOriginal(args, originalFile.size, moddedFile.size);
    requireModdedIsNotTheArchive(args, archiveFile, moddedFile);
    // A texture larger than the archive cannot be in it: nothing of either is read.
    if (originalFile.size > archiveFile.size) {
        print("texture data is not found\n" + checked);
        return;
    }
    const FileView archive = viewFile(std::move(archiveFile), ReadPattern::Sparse);
    const FileView original = viewFile(std::move(originalFile), ReadPattern::Whole);
    Texture texture;
    const LoadedTexture loaded{&texture, original.bytes(), {}, false};
    searchTextures(archive, args.archive, std::span(&loaded, 1), headerBytes, {});
    requireIntact(original, args.original);
    // One texture's data that is not there is simply not found, as it always was.
    if (texture.outcome != Outcome::Replaced) {
        print("texture data is not found\n" + checked);
        return;
    }
    if (checkOnly) {
        print("texture data would be replaced: bytes " + std::to_string(texture.archiveOffset) +
              " to " + std::to_string(texture.archiveOffset + texture.spanBytes - 1) + "\n" +
              checked);
        return;
    }
    const ByteBuffer modded = readOpened(moddedFile);
    const MatchOffset matchOffset = texture.archiveOffset - static_cast<std::uint64_t>(headerBytes);
    const TextureSplice splice = spliceTexture(original.bytes(), modded, headerBytes, matchOffset);
    const SpanPatch span{splice.archiveOffset, splice.replaced, splice.replacement};
    locks.lockToWrite(std::span(&args.archive, 1), archive_left::unchanged());
    printRecovery(writeArchive(args.archive, std::span(&span, 1), signals), args.archive);
    print("texture data is replaced\n");
}

} // namespace dyeloom
