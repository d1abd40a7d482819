// Where an archive's journal, and the other files named after the archive, lie and are named.
#include "journal.hpp"

#include <algorithm>

namespace dyeloom {
namespace {

// The longest file name the common file systems take (ext4, XFS, NTFS in UTF-16 units, which a
// UTF-8 name never has more of than it has bytes).
constexpr std::size_t maxNameBytes = 255;

// FNV-1a, 64 bits: the same on every platform and in every later version, so that the journal
// of a long name is found again by the next run.
std::uint64_t nameHash(const std::string& name) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (const char c : name)
        hash = (hash ^ static_cast<std::uint8_t>(c)) * 0x100000001B3ull;
    return hash;
}

// The first bytes of `name`, at most `bytes` of them, not cutting a UTF-8 character in two.
std::string leadingCharacters(const std::string& name, std::size_t bytes) {
    std::size_t end = std::min(bytes, name.size());
    while (end > 0 && end < name.size() && (static_cast<std::uint8_t>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.substr(0, end);
}

} // namespace

std::string journalNameFor(const std::string& archiveName) {
    return fileNameFor(archiveName, journalSuffix);
}

std::string fileNameFor(const std::string& archiveName, const std::string& suffix) {
    const std::size_t suffixBytes = suffix.size();
    if (archiveName.size() + suffixBytes <= maxNameBytes)
        return archiveName + suffix;
    std::string hash(16, '0');
    for (std::uint64_t value = nameHash(archiveName), at = 16; at-- > 0; value >>= 4)
        hash[at] = "0123456789abcdef"[value & 15];
    const std::size_t hashBytes = 1 + hash.size(); // "~" and the hash
    return leadingCharacters(archiveName, maxNameBytes - hashBytes - suffixBytes) + "~" + hash +
           suffix;
}

std::error_code locateJournal(const std::string& archivePath, JournalLocation& location) {
    std::string real;
    if (const auto error = os::realPath(archivePath, real))
        return error;
    const std::size_t realName = os::lastComponentAt(real);
    const std::string name = journalNameFor(real.substr(realName));
    location.path = real.substr(0, realName) + name;
    // Beside the archive as typed when its last component is no link: the typed folder then
    // leads to the real one.
    os::FileStatus typed;
    const bool linked = os::linkStatus(archivePath, typed) || typed.kind == os::FileKind::Link;
    location.shown =
        linked ? location.path : archivePath.substr(0, os::lastComponentAt(archivePath)) + name;
    return {};
}

} // namespace dyeloom
