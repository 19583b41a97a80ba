// The message formatter.
#include "app/format.h"

#include <cstring>

namespace app {
namespace {

// Appends to a fixed buffer and remembers when something did not fit.
struct Output {
    char* at;
    std::size_t room;  // bytes left, not counting the one kept for the terminating zero
    bool cut = false;

    void put(char c) {
        if (room == 0) {
            cut = true;
            return;
        }
        *at++ = c;
        --room;
    }
};

void putDigits(Output& out, std::uint32_t value, unsigned base, unsigned width) {
    static const char kDigits[] = "0123456789ABCDEF";
    char digits[16];
    for (unsigned i = 0; i < width; ++i) {
        digits[width - 1 - i] = kDigits[value % base];
        value /= base;
    }
    for (unsigned i = 0; i < width; ++i) out.put(digits[i]);
}

unsigned decimalLength(std::uint32_t value) {
    unsigned length = 1;
    while (value >= 10) {
        value /= 10;
        ++length;
    }
    return length;
}

}  // namespace

std::size_t formatMessage(char* buffer, std::size_t capacity, const char* format,
                          std::initializer_list<FormatArg> arguments) {
    if (capacity == 0) return 0;
    Output out{buffer, capacity - 1};
    const FormatArg* argument = arguments.begin();
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.put(*p++);
            continue;
        }
        ++p;
        unsigned width = 0;
        while (*p >= '0' && *p <= '9') {
            if (width < 100) width = width * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
        char conversion = *p;
        if (conversion == '\0') break;  // a format cut inside a conversion ends there
        ++p;
        if (conversion != 's' && conversion != 'X' && conversion != 'd') continue;
        FormatArg value = argument != arguments.end() ? *argument++ : FormatArg(0u);
        if (conversion == 's') {
            for (const char* s = value.text ? value.text : ""; *s != '\0'; ++s) out.put(*s);
        } else if (conversion == 'X') {
            putDigits(out, value.number, 16, width >= 1 && width <= 8 ? width : 8);
        } else {
            unsigned digits = width == 0 ? decimalLength(value.number) : (width > 16 ? 16 : width);
            putDigits(out, value.number, 10, digits);
        }
    }
    std::size_t length = static_cast<std::size_t>(out.at - buffer);
    std::size_t formatLength = std::strlen(format);
    if (out.cut && capacity >= 3 && formatLength >= 2 &&
        std::memcmp(format + formatLength - 2, "\r\n", 2) == 0) {
        buffer[length - 2] = '\r';
        buffer[length - 1] = '\n';
    }
    buffer[length] = '\0';
    return length + 1;
}

}  // namespace app
