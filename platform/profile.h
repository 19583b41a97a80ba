// Reading one integer from the text of a Windows-style initialisation file, for the systems
// that have no profile calls of their own.
#pragma once

#include <cstddef>

namespace platform {

// The value of `key` in `[section]`: section and key names are compared without regard to
// ASCII case and with surrounding blanks ignored; lines starting with ';' are comments. The
// value's leading decimal digits (after blanks and an optional minus sign) give the number,
// saturated far above any meaningful setting; no digits give 0. `fallback` when the section or
// key is missing or the value is empty.
long long profileIntegerFromText(const char* text, std::size_t length, const char* section,
                                 const char* key, int fallback);

}  // namespace platform
