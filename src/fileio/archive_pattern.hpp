// The archives of a game, named by a pattern: `data/*.asf` stands for every file in `data` whose
// name matches `*.asf`. Dyeloom expands the pattern itself, the same way on every platform, so
// that one command means the same game everywhere; on Linux it is quoted to keep the shell from
// expanding it first.
#pragma once

#include <string>
#include <vector>

namespace dyeloom {

// Whether `name` matches `pattern`: '*' stands for any characters (none included), '?' for one
// character (a whole UTF-8 sequence), anything else for itself, byte for byte.
[[nodiscard]] bool matchesPattern(const std::string& name, const std::string& pattern);

// Whether `argument` is a pattern: its last component holds '*' or '?', and no file has exactly
// that name (a file so named is that file).
[[nodiscard]] bool isArchivePattern(const std::string& argument);

// The archives `pattern` names: the regular files (or links to them) in its folder whose names
// match it, in byte order, as the folder's path and the name. Journals, super-journals, packages
// and files below any folder of `excluded` (resolved paths: the mod's texture folders) are not
// archives.
// Throws, naming the folder, when it cannot be listed.
[[nodiscard]] std::vector<std::string>
expandArchivePattern(const std::string& pattern, const std::vector<std::string>& excluded);

} // namespace dyeloom
