#include "super_journal.hpp"

#include "checksum.hpp"
#include "os_random.hpp"

#include <algorithm>
#include <cstring>

namespace dyeloom {
namespace {

constexpr char magic[] = "DYELOOM-SUPERJN"; // 15 characters, no terminator in the file
constexpr std::size_t magicBytes = sizeof magic - 1;
constexpr std::uint32_t pathsVersion = 1; // read; written only for a patch without a number
constexpr std::uint32_t version = 2;
constexpr std::size_t countAt = 20;
constexpr std::size_t patchAt = 24;
constexpr std::size_t patchBytes = std::tuple_size_v<PatchId>;
constexpr std::size_t pathsHeadBytes = 24;
constexpr std::size_t headBytes = patchAt + patchBytes;
constexpr std::size_t checksumBytes = 4;
// Larger than any list of journals this tool writes: a file larger than this is not one.
constexpr std::uint64_t maxBytes = std::uint64_t{16} << 20;

void putU32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getU32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= std::uint32_t{bytes[at + i]} << (8 * i);
    return value;
}

// `journals` as located; a numbered patch names those beside the super-journal at `superPath`
// by name alone.
std::vector<std::uint8_t> encode(const std::string& superPath,
                                 const std::vector<std::string>& journals, const PatchId& patch) {
    const bool paths = !isNumbered(patch);
    std::vector<std::uint8_t> bytes(paths ? pathsHeadBytes : headBytes);
    std::memcpy(bytes.data(), magic, magicBytes);
    putU32(bytes, 16, paths ? pathsVersion : version);
    putU32(bytes, countAt, static_cast<std::uint32_t>(journals.size()));
    if (!paths)
        std::copy(patch.begin(), patch.end(), bytes.begin() + patchAt);
    for (const std::string& journal : journals) {
        const std::string name = paths ? journal : superJournalReference(superPath, journal);
        const std::size_t at = bytes.size();
        bytes.resize(at + 4 + name.size());
        putU32(bytes, at, static_cast<std::uint32_t>(name.size()));
        std::memcpy(bytes.data() + at + 4, name.data(), name.size());
    }
    const std::size_t at = bytes.size();
    bytes.resize(at + checksumBytes);
    putU32(bytes, at, crc32c(Bytes(bytes).subspan(16, at - 16)));
    return bytes;
}

SuperJournalContents decode(const std::string& superPath, const std::vector<std::uint8_t>& bytes) {
    SuperJournalContents contents;
    if (bytes.size() < pathsHeadBytes + checksumBytes ||
        std::memcmp(bytes.data(), magic, magicBytes) != 0)
        return contents;
    const std::uint32_t format = getU32(bytes, 16);
    const std::size_t head = format == version ? headBytes : pathsHeadBytes;
    if ((format != version && format != pathsVersion) || bytes.size() < head + checksumBytes)
        return contents;
    const std::size_t end = bytes.size() - checksumBytes;
    if (getU32(bytes, end) != crc32c(Bytes(bytes).subspan(16, end - 16)))
        return contents;
    if (format == version)
        std::copy_n(bytes.begin() + patchAt, patchBytes, contents.patch.begin());
    std::size_t at = head;
    for (std::uint32_t i = getU32(bytes, countAt); i > 0; --i) {
        if (end - at < 4 || end - at - 4 < getU32(bytes, at))
            return {};
        const std::size_t length = getU32(bytes, at);
        const std::string name(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                               bytes.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
        contents.journals.push_back(format == version ? superJournalPath(superPath, name) : name);
        at += 4 + length;
    }
    contents.wellFormed = at == end;
    return contents;
}

// Whether something at `path` may be a journal of `patch` (all zeros: of a patch whose journals
// name none): anything there may, unless it is a journal that names another patch.
bool mayBeJournalOf(const std::string& path, const PatchId& patch) {
    Journal journal;
    os::FileStatus status;
    const auto error = Journal::open({path, path}, journal, status);
    if (os::isMissing(error))
        return false;
    std::string superJournal;
    PatchId named{};
    if (error || !isNumbered(patch) || journal.readPairing(superJournal, named))
        return true;
    return named == patch;
}

} // namespace

std::error_code newPatchId(PatchId& patch) {
    do {
        if (const auto error = os::randomBytes(patch))
            return error;
    } while (!isNumbered(patch));
    return {};
}

JournalLocation superJournalBeside(const JournalLocation& first) {
    const std::size_t name = os::lastComponentAt(first.path);
    const std::string journalName = first.path.substr(name);
    const std::string archiveName =
        journalName.substr(0, journalName.size() - (sizeof journalSuffix - 1));
    const std::string superName = fileNameFor(archiveName, superJournalSuffix);
    const std::size_t shownName = os::lastComponentAt(first.shown);
    return {first.path.substr(0, name) + superName, first.shown.substr(0, shownName) + superName};
}

std::string superJournalReference(const std::string& journalPath, const std::string& superPath) {
    const std::size_t folder = os::lastComponentAt(superPath);
    return journalPath.substr(0, os::lastComponentAt(journalPath)) == superPath.substr(0, folder)
               ? superPath.substr(folder)
               : superPath;
}

std::string superJournalPath(const std::string& journalPath, const std::string& reference) {
    return os::lastComponentAt(reference) == 0
               ? journalPath.substr(0, os::lastComponentAt(journalPath)) + reference
               : reference;
}

std::error_code createSuperJournal(const JournalLocation& where,
                                   const std::vector<std::string>& journals, const PatchId& patch) {
    os::File file;
    if (const auto error = os::File::open(where.path, os::File::Access::CreateNew, file))
        return error;
    const std::vector<std::uint8_t> bytes = encode(where.path, journals, patch);
    std::size_t put = 0;
    std::error_code error = file.writeAt(0, bytes, put);
    if (!error)
        error = file.syncData();
    if (!error)
        error = file.close();
    if (!error)
        error = os::syncFolderOf(where.path);
    // Not flushed whole, it must not stay for a journal to name: none names it yet.
    if (error && !os::removeFile(where.path))
        (void)os::syncFolderOf(where.path);
    return error;
}

std::error_code readSuperJournal(const std::string& path, os::FileStatus& status,
                                 SuperJournalContents& contents) {
    os::File file;
    if (const auto error =
            os::File::open(path, os::File::Access::Read, file, os::File::LastLink::Refuse))
        return error;
    if (const auto error = file.status(status))
        return error;
    contents = {};
    if (status.kind != os::FileKind::Regular || status.size > maxBytes)
        return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.size));
    std::size_t got = 0;
    if (const auto error = file.readAt(0, bytes, got))
        return error;
    bytes.resize(got);
    contents = decode(path, bytes);
    return {};
}

std::string journalLeftOf(const std::string& superPath, const SuperJournalContents& contents,
                          const std::vector<std::string>& settled) {
    const std::string folder = superPath.substr(0, os::lastComponentAt(superPath));
    for (const std::string& journal : contents.journals) {
        std::vector<std::string> places = {journal};
        if (!isNumbered(contents.patch))
            places.push_back(folder + journal.substr(os::lastComponentAt(journal)));
        for (const std::string& place : places)
            if (std::find(settled.begin(), settled.end(), place) == settled.end() &&
                mayBeJournalOf(place, contents.patch))
                return place;
    }
    return {};
}

} // namespace dyeloom
