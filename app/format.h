// The message formatter, with its own exact-width rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace app {

// One argument of a message: a 32-bit number for %X and %d, a text for %s.
struct FormatArg {
    FormatArg(std::uint32_t value) : number(value) {}
    FormatArg(int value) : number(static_cast<std::uint32_t>(value)) {}
    FormatArg(const char* value) : text(value) {}
    std::uint32_t number = 0;
    const char* text = nullptr;
};

// Writes the expansion of `format` into `buffer` (`capacity` bytes), terminating zero included,
// and returns the bytes written counting the zero. Conversions: %s copies a text (width
// ignored); %wX prints exactly w upper-case hexadecimal digits (8 when w is 0 or above 8); %wd
// prints exactly w decimal digits (as many as needed when w is 0; at most 16). Only the least
// significant digits are kept. Any other character after % prints nothing and takes no
// argument. An expansion that does not fit is cut; a format ending in CR LF still ends so.
std::size_t formatMessage(char* buffer, std::size_t capacity, const char* format,
                          std::initializer_list<FormatArg> arguments);

}  // namespace app
