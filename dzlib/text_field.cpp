// Text fields read within their own width and shown safely.
#include "dzlib/text_field.h"

#include <cstring>

namespace dz {

std::size_t utf8CharacterLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

std::string_view fieldText(const char* field, std::size_t width) {
    const void* zero = std::memchr(field, '\0', width);
    return {field, zero != nullptr
                       ? static_cast<std::size_t>(static_cast<const char*>(zero) - field)
                       : width};
}

void printableText(std::string_view text, bool utf8Terminal, char* out) {
    std::size_t at = 0;
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text.front());
        std::size_t length = 1;
        bool control = c < 0x20 || c == 0x7F;
        if (utf8Terminal && c >= 0x80) {
            length = utf8CharacterLength(text);
            // U+0080 to U+009F are C2 80 to C2 9F; a stray byte in that range may be read as one.
            control = length == 0 ? c <= 0x9F
                                  : (c == 0xC2 && static_cast<unsigned char>(text[1]) <= 0x9F);
            if (length == 0) length = 1;
        }
        if (control) {
            out[at++] = '?';
        } else {
            std::memcpy(out + at, text.data(), length);
            at += length;
        }
        text.remove_prefix(length);
    }
    out[at] = '\0';
}

}  // namespace dz
