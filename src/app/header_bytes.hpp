#pragma once

#include <cstdint>
#include <string_view>

namespace dyeloom {

// Reads the header byte count the way the standard string-to-int conversion does in base 10:
// leading white space is skipped, one sign is allowed, digits are read up to the first
// character that is not one, and anything after them is ignored. Throws
// std::invalid_argument("invalid stoi argument") when there are no digits and
// std::out_of_range("stoi argument out of range") outside the 32-bit signed range.
std::int32_t parseHeaderBytes(std::string_view text);

} // namespace dyeloom
