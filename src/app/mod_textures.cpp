#include "mod_textures.hpp"

#include "archive_state.hpp"
#include "output.hpp"
#include "search.hpp"
#include "shown_name.hpp"
#include "texture_patch.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// The heap a run may take, whatever the mod (but for a single texture larger than what is left:
// a pass holds one texture at least). A pass reads textures while its memory and what the search
// takes for them fit in what is left once the search's shared tables, the mod's listing and a
// reserve for the rest of the run (the archive's reading, the journal, the report) are counted:
// about 190 MiB of files for a mod of a thousand textures, which two or three passes search.
constexpr std::uint64_t heapBudgetBytes = std::uint64_t{256} << 20;
constexpr std::uint64_t runReserveBytes = std::uint64_t{16} << 20;
// ... and at most this many textures: the search's tables and per-needle state grow with their
// number, and up to twice this many needles its groups' tables stay within their budget. A mod
// of 100,000 small textures peaks at 180 MiB of heap in passes of 16,384; passes of 65,536
// searched it no faster and needed four times the memory, passes of 4,096 took twice the time.
constexpr std::size_t passTextureLimit = 16384;
// A modded file is read through a buffer of this size for its digest, compared as it comes with
// its original.
constexpr std::size_t scratchBytes = std::size_t{1} << 20;

std::string shownPath(const TextureFolder& folder, const std::string& name) {
    return folder.path + "/" + shownName(name);
}

void skip(Texture& texture, std::string reason) {
    texture.outcome = Outcome::Skipped;
    texture.skipReason = std::move(reason);
}

// Opens a texture's two files, or says why it is skipped.
bool openPair(ModTexture& texture, const ModFolders& folders, const ArchiveFacts& archive,
              os::File& original, os::File& modded) {
    const std::string& name = texture.texture.name;
    if (const auto refused =
            openTexture(folders.originals, name, shownPath(folders.originals, name),
                        texture.original, original)) {
        skip(texture.texture, refused->missing
                                  ? "no original of that name in " + quoted(folders.originals.path)
                                  : refused->reason);
        return false;
    }
    if (const auto refused = openTexture(folders.modded, name, shownPath(folders.modded, name),
                                         texture.modded, modded)) {
        skip(texture.texture, refused->reason);
        return false;
    }
    const auto& archives = archive.identities;
    if (std::find(archives.begin(), archives.end(), texture.original.identity) != archives.end() ||
        std::find(archives.begin(), archives.end(), texture.modded.identity) != archives.end()) {
        skip(texture.texture, "it is the archive itself");
        return false;
    }
    if (texture.original.size != texture.modded.size) {
        skip(texture.texture, "the modded texture is " + std::to_string(texture.modded.size) +
                                  " bytes, the original " + std::to_string(texture.original.size) +
                                  "; a texture patched in place keeps its size");
        return false;
    }
    return true;
}

std::size_t searchBytesFor(std::uint64_t fileBytes, std::int32_t headerBytes) {
    const std::uint64_t data = fileBytes - std::min<std::uint64_t>(fileBytes, headerBytes);
    return MultiSearch::heapPerNeedle(static_cast<std::size_t>(data));
}

// Whether the pass has room for one more file of `fileBytes` bytes; a pass holds one at least.
bool hasRoom(const ModPass& pass, const PassLimits& limits, const PassMemory& memory,
             std::uint64_t passSearchBytes, std::uint64_t fileBytes, std::int32_t headerBytes) {
    if (fileBytes > ByteBuffer().max_size())
        throw std::length_error("vector too long");
    return pass.loaded.empty() ||
           (memory.heldAfter(static_cast<std::size_t>(fileBytes)) + passSearchBytes +
                    searchBytesFor(fileBytes, headerBytes) <=
                limits.bytes &&
            pass.loaded.size() < limits.textures);
}

// Reads the modded file through `scratch` for the digest of its data, and tells whether that
// data is the original's (`originalFile`, as read).
bool digestModded(ModTexture& texture, const os::File& modded, Bytes originalFile,
                  std::int32_t headerBytes, ByteBuffer& scratch) {
    const std::size_t dataAt = originalFile.size() - textureData(originalFile, headerBytes).size();
    Digest digest;
    bool same = true;
    for (std::uint64_t at = dataAt; at < texture.modded.size;) {
        const auto bytes = static_cast<std::size_t>(
            std::min<std::uint64_t>(scratch.size(), texture.modded.size - at));
        const MutableBytes piece(scratch.data(), bytes);
        readTexture(texture.modded, modded, at, piece);
        digest.add(piece);
        same = same && std::equal(piece.begin(), piece.end(), originalFile.begin() + at);
        at += bytes;
    }
    texture.moddedDigest = digest.value();
    return same;
}

// Reads a texture's original into the pass, with the digests of both files' data. False, with
// nothing read, when the pass has no room left for it.
bool readOriginal(ModTexture& texture, const os::File& original, const os::File& modded,
                  std::int32_t headerBytes, const PassLimits& limits, ModPass& pass,
                  std::uint64_t& passSearchBytes, PassMemory& memory, ByteBuffer& scratch) {
    if (!hasRoom(pass, limits, memory, passSearchBytes, texture.original.size, headerBytes))
        return false;
    passSearchBytes += searchBytesFor(texture.original.size, headerBytes);
    const MutableBytes file = memory.take(static_cast<std::size_t>(texture.original.size));
    readTexture(texture.original, original, 0, file);
    texture.originalDigest = Digest::of(textureData(file, headerBytes));
    const bool same = digestModded(texture, modded, file, headerBytes, scratch);
    texture.lookForModded = !same;
    // Modded data equal to the original's is not looked for apart: found, it is in place already.
    pass.loaded.push_back({&texture.texture, file, same ? Bytes(file) : Bytes(), false});
    return true;
}

// Reads a texture's modded file into the pass, opened afresh: it must hold the data whose digest
// was taken with its original's pass. False, with nothing read, when the pass has no room left.
bool readModded(ModTexture& texture, std::int32_t headerBytes, const PassLimits& limits,
                ModPass& pass, std::uint64_t& passSearchBytes, PassMemory& memory) {
    if (!hasRoom(pass, limits, memory, passSearchBytes, texture.modded.size, headerBytes))
        return false;
    passSearchBytes += searchBytesFor(texture.modded.size, headerBytes);
    const os::File modded = reopenTexture(texture.modded);
    const MutableBytes file = memory.take(static_cast<std::size_t>(texture.modded.size));
    readTexture(texture.modded, modded, 0, file);
    if (Digest::of(textureData(file, headerBytes)) != texture.moddedDigest)
        throw TextureChanged(texture.modded.shown);
    pass.loaded.push_back({&texture.texture, {}, file, true});
    return true;
}

// Whether the texture's modded data is left to look for: its original was read and not found.
bool moddedLeft(const ModTexture& texture) {
    return texture.lookForModded && texture.texture.outcome == Outcome::NotFound;
}

} // namespace

ModListing listMod(const ModFolders& folders) {
    os::FolderListing listing;
    if (const auto error = os::listFolder(folders.modded.path, listing))
        throw std::runtime_error("can't list the folder " + quoted(folders.modded.path) + ": " +
                                 os::describe(error) + archive_left::unchanged());
    ModListing mod;
    for (os::UnlistedFolder& folder : listing.unlisted) {
        if (os::isResourceShortage(folder.reason))
            throw std::runtime_error("can't list the folder " +
                                     quoted(shownPath(folders.modded, folder.path)) + ": " +
                                     os::describe(folder.reason) + archive_left::unchanged());
        mod.unlisted.push_back(std::move(folder));
    }
    std::sort(listing.files.begin(), listing.files.end(),
              [](const os::ListedFile& a, const os::ListedFile& b) { return a.path < b.path; });
    mod.textures.resize(listing.files.size());
    for (std::size_t i = 0; i < listing.files.size(); ++i)
        mod.textures[i].texture.name = std::move(listing.files[i].path);
    std::sort(
        mod.unlisted.begin(), mod.unlisted.end(),
        [](const os::UnlistedFolder& a, const os::UnlistedFolder& b) { return a.path < b.path; });
    return mod;
}

// The heap the listing of a mod holds for the whole run, its files' paths included.
std::uint64_t listingBytes(const ModListing& mod, const ModFolders& folders) {
    const std::size_t folderBytes =
        std::max(folders.originals.path.size(), folders.originals.real.size()) +
        std::max(folders.modded.path.size(), folders.modded.real.size());
    std::uint64_t bytes = mod.unlisted.size() * sizeof(os::UnlistedFolder);
    for (const ModTexture& texture : mod.textures)
        bytes += sizeof texture + 5 * (texture.texture.name.size() + 1) + 2 * folderBytes;
    return bytes;
}

PassLimits passLimitsFor(const ModListing& mod, const ModFolders& folders,
                         std::uint64_t heldBeside) {
    const std::uint64_t taken =
        runReserveBytes + MultiSearch::sharedHeapBytes() + listingBytes(mod, folders) + heldBeside;
    return {taken < heapBudgetBytes ? heapBudgetBytes - taken : 0, passTextureLimit};
}

ModPass readPass(ModListing& mod, std::size_t from, const ModFolders& folders,
                 const ArchiveFacts& archive, std::int32_t headerBytes, PassKind kind,
                 const PassLimits& limits, PassMemory& memory) {
    memory.reset();
    ModPass pass;
    std::uint64_t passSearchBytes = 0; // what the search takes for the textures read so far
    ByteBuffer scratch(kind == PassKind::Originals ? scratchBytes : 0);
    std::size_t i = from;
    try {
        for (; i < mod.textures.size(); ++i) {
            ModTexture& texture = mod.textures[i];
            const std::size_t loaded = pass.loaded.size();
            if (kind == PassKind::Modded) {
                if (moddedLeft(texture) &&
                    !readModded(texture, headerBytes, limits, pass, passSearchBytes, memory))
                    break;
                if (pass.loaded.size() > loaded)
                    pass.indexes.push_back(i);
                continue;
            }
            os::File original, modded;
            if (!openPair(texture, folders, archive, original, modded))
                continue;
            // Larger than the archive, it cannot be in it: nothing of it is read.
            if (texture.original.size > archive.size) {
                texture.texture.outcome = Outcome::NotFound;
                continue;
            }
            if (!readOriginal(texture, original, modded, headerBytes, limits, pass, passSearchBytes,
                              memory, scratch))
                break;
            pass.indexes.push_back(i);
        }
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(error.what() + archive_left::unchanged());
    }
    pass.next = i;
    return pass;
}

} // namespace dyeloom
