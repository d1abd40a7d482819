// Conversions between the UTF-8 text Dyeloom uses inside and the UTF-16 text of the Windows API.
#pragma once

#ifdef _WIN32
#include <string>

namespace dyeloom::os {

// False when `text` is not valid UTF-8.
bool utf8ToWide(const std::string& text, std::wstring& wide);
std::string wideToUtf8(const std::wstring& wide);

} // namespace dyeloom::os
#endif
