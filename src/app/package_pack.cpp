#include "package_pack.hpp"

#include "archive_state.hpp"
#include "header_bytes.hpp"
#include "mod_report.hpp"
#include "mod_textures.hpp"
#include "package_writer.hpp"
#include "shown_name.hpp"

namespace dyeloom {
namespace {

// Past this many temporary files beside the package, the folder is taken for one no run should
// fill.
constexpr unsigned maxTemporaryNames = 100;

[[noreturn]] void cantWrite(const std::string& path, const std::error_code& error) {
    throw std::runtime_error("can't write the package " + quoted(path) + ": " +
                             os::describe(error));
}

// Creates the file the package is written to beside its name: the first of NAME.part,
// NAME.part-2, ... that nothing holds.
PackageWriter createTemporary(const std::string& path, std::int32_t headerBytes) {
    for (unsigned n = 1; n <= maxTemporaryNames; ++n) {
        PackageWriter writer;
        std::string name = path + ".part";
        if (n > 1) {
            name += '-';
            name += std::to_string(n);
        }
        const auto error = PackageWriter::create(name, headerBytes, writer);
        if (!error)
            return writer;
        if (error != std::errc::file_exists)
            cantWrite(path, error);
    }
    cantWrite(path, std::make_error_code(std::errc::file_exists));
}

void skip(Texture& texture, std::string reason) {
    texture.outcome = Outcome::Skipped;
    texture.skipReason = std::move(reason);
}

// Packs one texture: its original's fingerprint and its modded data. Returns whether it was
// packed; a texture that cannot be is skipped with the reason.
bool packTexture(ModTexture& texture, const ModFolders& folders, std::int32_t headerBytes,
                 PackageWriter& package, ByteBuffer& scratch) {
    os::File original, modded;
    if (!openPair(texture, folders, {}, original, modded))
        return false;
    placeData(texture, headerBytes);
    if (texture.originalBytes == 0) {
        skip(texture.texture, "it holds nothing past its header");
        return false;
    }
    // Made once and searched for in every install: as wide a window as the package may hold.
    FingerprintMaker maker(packedWindowKeys(texture.originalBytes), FingerprintMaker::Look::Widest);
    readPieces(texture.original, original, texture.originalAt, texture.originalBytes, scratch,
               [&](Bytes piece) { maker.add(piece); });
    PackageEntry entry{texture.texture.name, maker.finish(), {}, package.dataEnd(), 0};
    if (entry.original.keys.empty()) {
        // Found by its bytes alone, it would need them in the package: the game's own data.
        skip(texture.texture, "its original has too little detail to be found by a fingerprint");
        return false;
    }
    Digest digest;
    readPieces(texture.modded, modded, texture.moddedAt, texture.moddedBytes, scratch,
               [&](Bytes piece) {
                   digest.add(piece);
                   if (const auto error = package.writeData(piece))
                       cantWrite(package.path(), error);
               });
    entry.moddedDigest = digest.value();
    package.addEntry(entry);
    return true;
}

} // namespace

void packMod(const Arguments& args) {
    const std::string& path = args.archive;
    const std::int32_t headerBytes = parseHeaderBytes(args.headerBytes);
    const ModFolders folders{openTextureFolder(args.original), openTextureFolder(args.modded)};
    ModListing mod = listMod(folders);
    std::vector<bool> packed(mod.textures.size());
    std::uint64_t size = 0;
    try {
        PackageWriter package = createTemporary(path, headerBytes);
        ByteBuffer scratch(texturePieceBytes);
        for (std::size_t i = 0; i < mod.textures.size(); ++i)
            packed[i] = packTexture(mod.textures[i], folders, headerBytes, package, scratch);
        size = package.size();
        if (const auto error = package.finish())
            cantWrite(path, error);
        if (const auto error = os::replaceFile(package.path(), path)) {
            (void)os::removeFile(package.path());
            cantWrite(path, error);
        }
        (void)os::syncFolderOf(path);
    } catch (const std::runtime_error& error) {
        // The temporary file is gone; what was at the package's name is as it was.
        throw std::runtime_error(error.what() + archive_left::nothingChanged());
    }
    std::size_t count = 0;
    printListing(mod, [&](std::size_t i) {
        const Texture& texture = mod.textures[i].texture;
        count += packed[i] ? 1 : 0;
        return packed[i] ? "packed: " + shownName(texture.name) + "\n"
                         : "skipped: " + shownName(texture.name) + ": " + texture.skipReason + "\n";
    });
    print(std::to_string(mod.textures.size()) +
          (mod.textures.size() == 1 ? " texture: " : " textures: ") + std::to_string(count) +
          " packed, " + std::to_string(mod.textures.size() - count) + " skipped" +
          unlistedPart(mod) + "; " + quoted(path) + " is " + std::to_string(size) + " bytes\n");
}

} // namespace dyeloom
