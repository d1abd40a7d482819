#include "archive_pattern.hpp"

#include "archive_state.hpp"
#include "journal.hpp"
#include "os_file.hpp"
#include "package_format.hpp"

#include <algorithm>
#include <stdexcept>

namespace dyeloom {
namespace {

// The bytes of the UTF-8 character that begins with `lead`; a byte that begins none stands alone.
std::size_t characterBytes(unsigned char lead) {
    return lead >= 0xF0 && lead < 0xF8 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool isArchiveFile(const std::string& path, const os::ListedFile& file) {
    if (file.kind == os::FileKind::Regular)
        return true;
    os::FileStatus target;
    return file.kind == os::FileKind::Link && !os::pathStatus(path, target) &&
           target.kind == os::FileKind::Regular;
}

// Packages, and the undo packages installs leave beside them, are never archives.
bool isPackage(const std::string& path) {
    os::File file;
    std::uint8_t start[packageMagicBytes];
    std::size_t got = 0;
    return !os::File::open(path, os::File::Access::Read, file) &&
           !file.readAt(0, MutableBytes(start), got) && beginsAsPackage(Bytes(start, got));
}

} // namespace

bool matchesPattern(const std::string& name, const std::string& pattern) {
    // Backtracking to the last '*' alone is enough, and linear enough, for patterns of this kind.
    const auto next = [&](std::size_t at) {
        return std::min(name.size(), at + characterBytes(static_cast<unsigned char>(name[at])));
    };
    std::size_t n = 0, p = 0, star = std::string::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            n = next(n);
            ++p;
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++n;
            ++p;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = mark = next(mark);
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool isArchivePattern(const std::string& argument) {
    const std::string name = argument.substr(os::lastComponentAt(argument));
    if (name.find_first_of("*?") == std::string::npos)
        return false;
    // Where nothing can be asked of the name (Windows refuses '*' and '?' in one), it is no file.
    os::FileStatus status;
    return static_cast<bool>(os::linkStatus(argument, status));
}

std::vector<std::string> expandArchivePattern(const std::string& pattern,
                                              const std::vector<std::string>& excluded) {
    const std::size_t nameAt = os::lastComponentAt(pattern);
    const std::string folder = pattern.substr(0, nameAt);
    const std::string namePattern = pattern.substr(nameAt);
    std::vector<os::ListedFile> files;
    if (const auto error = os::listFolderFiles(folder.empty() ? "." : folder, files))
        throw std::runtime_error("can't list the folder " + quoted(folder.empty() ? "." : folder) +
                                 " for " + quoted(pattern) + ": " + os::describe(error) +
                                 archive_left::nothingChanged());
    std::vector<std::string> archives;
    for (const os::ListedFile& file : files) {
        const std::string path = folder + file.path;
        if (!matchesPattern(file.path, namePattern) || endsWith(file.path, journalSuffix) ||
            endsWith(file.path, superJournalSuffix) || !isArchiveFile(path, file) ||
            isPackage(path))
            continue;
        std::string real;
        if (os::realPath(path, real))
            continue;
        if (std::none_of(excluded.begin(), excluded.end(),
                         [&](const std::string& below) { return os::isBelow(real, below); }))
            archives.push_back(path);
    }
    std::sort(archives.begin(), archives.end());
    return archives;
}

} // namespace dyeloom
