// How the run prints a name that comes from a mod. A mod is made by someone else: its file names
// may hold line breaks, terminal escape sequences or bytes that are no text at all, and printed
// as they are they could forge a line of the report or draw over it.
#pragma once

#include <string>
#include <string_view>

namespace dyeloom {

// `name` with every byte that could change how the report reads shown escaped: control
// characters (C0, DEL, and C1 in UTF-8) as \n, \r, \t or \xHH, a backslash as \\, the
// characters that reorder or break a line (bidirectional controls, the line and paragraph
// separators) and every byte that is not part of valid UTF-8 as \xHH, one escape a byte. The rest
// of the name, valid UTF-8, is kept as it is. The same name is shown the same way on every
// platform, and a shown name never holds a line break.
std::string shownName(std::string_view name);

} // namespace dyeloom
