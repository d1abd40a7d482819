#include "package_install.hpp"

#include "archive_state.hpp"
#include "journal.hpp"
#include "mod_report.hpp"
#include "package_mod.hpp"
#include "package_writer.hpp"

#include <algorithm>
#include <optional>

namespace dyeloom {
namespace {

// Past this many undo packages of one package, the folder is taken for one no run should fill.
constexpr unsigned maxUndoPackages = 9999;

// The undo package's `n`th name: the package's, as typed, with ".undo-N" before its extension.
std::string undoName(const std::string& packagePath, unsigned n) {
    const std::size_t nameAt = os::lastComponentAt(packagePath);
    const std::size_t dot = packagePath.rfind('.');
    const bool extension = dot != std::string::npos && dot > nameAt;
    return (extension ? packagePath.substr(0, dot) : packagePath) + ".undo-" + std::to_string(n) +
           (extension ? packagePath.substr(dot) : ".pkg");
}

// Creates the undo package at the first of its names that nothing holds: one is never written
// over.
PackageWriter createUndo(const std::string& packagePath, std::int32_t headerBytes) {
    for (unsigned n = 1; n <= maxUndoPackages; ++n) {
        PackageWriter writer;
        const std::string path = undoName(packagePath, n);
        const auto error = PackageWriter::create(path, headerBytes, writer);
        if (!error)
            return writer;
        if (error != std::errc::file_exists)
            throw std::runtime_error("can't write the undo package " + quoted(path) + ": " +
                                     os::describe(error) + archive_left::unchanged());
    }
    const std::string last = quoted(undoName(packagePath, maxUndoPackages));
    throw std::runtime_error("can't write the undo package: " + last +
                             " and every name before it are taken" + archive_left::unchanged());
}

void check(const std::error_code& error, const PackageWriter& writer) {
    if (error)
        throw std::runtime_error("can't write the undo package " + quoted(writer.path()) + ": " +
                                 os::describe(error) + archive_left::unchanged());
}

// Writes the bytes of `archive` that texture `i` is found at to the undo package, a piece at a
// time, read with positioned reads (the search's pass read the archive without touching its
// mapping), and checks that they are the original's.
void copyOverwritten(PackageWriter& undo, const ModTexture& texture, const ModArchive& archive,
                     const FileView& view, std::size_t i, ByteBuffer& piece) {
    const Finding& found = archive.found[i];
    const Bytes span = view.bytes().subspan(static_cast<std::size_t>(found.archiveOffset),
                                            static_cast<std::size_t>(found.spanBytes));
    Digest digest;
    for (std::size_t at = 0; at < span.size(); at += piece.size()) {
        const Bytes part = span.subspan(at, std::min(piece.size(), span.size() - at));
        const MutableBytes into = MutableBytes(piece).first(part.size());
        if (!view.copy(part, into))
            std::copy(part.begin(), part.end(), into.begin());
        digest.add(into);
        check(undo.writeData(into), undo);
    }
    requireIntact(view, archive.path);
    if (digest.value() != texture.originalDigest)
        throw std::runtime_error("can't read " + quoted(archive.path) +
                                 ": it changed while it was in use" + archive_left::unchanged());
}

// The undo entry of texture `i`, found in `archive`: the bytes there now, which the install
// overwrites, under the fingerprint of what it writes. Modded data that its keys cannot find is
// held too, read from the package, so that the undo can find it by its bytes.
void addUndoEntry(PackageWriter& undo, const ModTexture& texture, const Fingerprint& modded,
                  const ModArchive& archive, const FileView& view, std::size_t i,
                  ByteBuffer& piece) {
    PackageEntry entry{texture.texture.name, modded, texture.originalDigest, undo.dataEnd(), 0};
    copyOverwritten(undo, texture, archive, view, i, piece);
    if (modded.keys.empty()) {
        entry.originalAt = undo.dataEnd();
        check(undo.writeData(readTextureData(texture, true)), undo);
    }
    undo.addEntry(entry);
}

// Writes, and puts on the disk, the undo package of what the install is about to write.
PackageWriter writeUndo(const std::string& packagePath, std::int32_t headerBytes,
                        const ModListing& mod, const ModFingerprints& prints,
                        const std::vector<ModArchive>& archives, std::span<const FileView> views) {
    PackageWriter undo = createUndo(packagePath, headerBytes);
    ByteBuffer piece(journalPieceBytes);
    for (std::size_t i = 0; i < mod.textures.size(); ++i)
        for (std::size_t a = 0; a < archives.size(); ++a)
            if (archives[a].found[i].outcome == Outcome::Replaced) {
                // The same texture's bytes wherever it is found: its original's.
                addUndoEntry(undo, mod.textures[i], prints.fingerprints[prints.moddedOf[i]],
                             archives[a], views[a], i, piece);
                break;
            }
    check(undo.finish(), undo);
    check(os::syncFolderOf(undo.path()), undo);
    return undo;
}

} // namespace

void installPackage(const std::string& packagePath, const ModRun& run, os::StopSignals& signals) {
    OpenedPackage package = openPackage(packagePath);
    RunArchives opened = openRunArchives(run, signals);
    ModListing mod = listPackage(package);
    const ModFingerprints prints = fingerprintPackage(mod, package, opened.facts);
    std::optional<PackageWriter> undo;
    const BeforeWriting writeUndoFirst = [&](const std::vector<ModArchive>& archives,
                                             std::span<const FileView> views) {
        undo = writeUndo(packagePath, package.header.headerBytes, mod, prints, archives, views);
    };
    std::vector<ModArchive> archives;
    try {
        archives = installFingerprinted(mod, prints, opened, package.header.headerBytes, run,
                                        writeUndoFirst, signals);
    } catch (...) {
        // Every archive is as it was, or its journal puts it back: there is nothing to undo.
        if (undo)
            (void)os::removeFile(undo->path());
        throw;
    }
    printModReport(mod, archives, run);
    if (undo)
        print("undo: " + quoted(undo->path()) + "\n");
}

} // namespace dyeloom
