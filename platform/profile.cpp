// The number of a settings value, and initialisation-file parsing for the systems without a
// profile call.
#include "platform/profile.h"

#include <string_view>
#include <type_traits>

namespace platform {
namespace {

// The characters that the profile call drops around lines, names and values; Ctrl-Z ends many
// files written on DOS.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1A';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The profile call keeps names and values as zero-terminated texts.
std::string_view untilZero(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

// The value of a digit in bases up to 36, or 36 for any other character.
unsigned digitValue(std::uint32_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 36;
}

template <typename Char>
long long numberOf(const Char* text, std::size_t length, int fallback) {
    if (length == 0) return fallback;
    auto at = [text](std::size_t i) -> std::uint32_t {
        return static_cast<std::make_unsigned_t<Char>>(text[i]);
    };
    std::size_t i = 0;
    while (i < length && at(i) <= ' ') ++i;
    bool negative = false;
    if (i < length && (at(i) == '+' || at(i) == '-')) {
        negative = at(i) == '-';
        ++i;
    }
    unsigned base = 10;
    if (i + 1 < length && at(i) == '0') {
        std::uint32_t prefix = at(i + 1);
        base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : prefix == 'b' ? 2 : 10;
        if (base != 10) i += 2;
    }
    long long number = 0;
    for (; i < length; ++i) {
        unsigned digit = digitValue(at(i));
        if (digit >= base) break;
        number =
            number > (kSaturatedNumber - digit) / base ? kSaturatedNumber : number * base + digit;
    }
    return negative ? -number : number;
}

// Rewrites UTF-16 text (after its byte-order mark) in place as one byte per character: ASCII
// as it stands, anything else as 0x80, which no rule of the file or the number takes for
// anything but an ordinary character. Returns the new length.
std::size_t narrowUtf16(char* text, std::size_t length, bool bigEndian) {
    std::size_t count = (length - 2) / 2;
    for (std::size_t i = 0; i < count; ++i) {
        // Character i is read from bytes 2 + 2i and 3 + 2i before byte i is written.
        auto first = static_cast<unsigned char>(text[2 + 2 * i]);
        auto second = static_cast<unsigned char>(text[3 + 2 * i]);
        unsigned unit = bigEndian ? first << 8 | second : second << 8 | first;
        text[i] = unit < 0x80 ? static_cast<char>(unit) : '\x80';
    }
    return count;
}

}  // namespace

long long profileNumber(const char* text, std::size_t length, int fallback) {
    return numberOf(text, length, fallback);
}

long long profileNumber(const wchar_t* text, std::size_t length, int fallback) {
    return numberOf(text, length, fallback);
}

long long profileIntegerFromText(char* text, std::size_t length, const char* section,
                                 const char* key, int fallback) {
    std::string_view bytes(text, length);
    std::string_view rest = bytes;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        rest.remove_prefix(3);
    } else if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
        rest = std::string_view(text, narrowUtf16(text, length, bytes[0] == '\xFE'));
    }
    bool inSection = false;
    while (!rest.empty()) {
        std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty()) continue;
        std::size_t close = line.rfind(']');
        if (line.front() == '[' && close != std::string_view::npos) {
            // A later section of the same name is never read.
            if (inSection) return fallback;
            inSection = equalNoCase(untilZero(trim(line.substr(1, close - 1))), section);
            continue;
        }
        if (!inSection) continue;
        // Comment lines (';') need no rule of their own: their names are never the key.
        std::size_t equals = line.find('=');
        if (!equalNoCase(untilZero(trim(line.substr(0, equals))), key)) continue;
        if (equals == std::string_view::npos) return fallback;
        std::string_view value = untilZero(trim(line.substr(equals + 1)));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return profileNumber(value.data(), value.size(), fallback);
    }
    return fallback;
}

}  // namespace platform
