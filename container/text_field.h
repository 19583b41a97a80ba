// Text from the container, made safe to print.
#pragma once

#include <cstddef>

namespace container {

// Copies the text of a field of `width` bytes into `out` (at least width + 1 bytes): up to its
// first zero, or its whole width when it has none, so nothing runs on into the next field.
// Bytes below 0x20 and the byte 0x7F become '?', so that a container cannot send control
// sequences to the terminal.
void printableField(const char* field, std::size_t width, char* out);

}  // namespace container
