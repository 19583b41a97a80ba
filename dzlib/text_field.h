// Text fields of the container: read within their own width, and made safe to show.
#pragma once

#include <cstddef>
#include <string_view>

namespace dz {

// The text of a field of `width` bytes: up to its first zero, or its whole width when it has
// none, so nothing runs on into the next field.
std::string_view fieldText(const char* field, std::size_t width);

// Copies `text` into `out` (at least text.size() + 1 bytes, zero-terminated) so that a container
// cannot send control sequences to a terminal: bytes below 0x20 and the byte 0x7F become '?'.
// For a terminal that shows UTF-8, so do the C1 control characters U+0080 to U+009F (some
// terminals take U+009B for the start of a control sequence) and stray bytes 0x80 to 0x9F that
// are not part of a character; other bytes stay as they are.
void printableText(std::string_view text, bool utf8Terminal, char* out);

// The length of the well-formed UTF-8 character at the start of `text` (2 to 4 bytes), or 0
// when it does not start with one (an ASCII byte included).
std::size_t utf8CharacterLength(std::string_view text);

}  // namespace dz
