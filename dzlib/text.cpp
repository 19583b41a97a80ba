// Text for scripts and messages: container bytes as UTF-8 or hex, numbers, times.
#include "dzlib/text.h"

#include <cstdio>

#include "dzlib/text_field.h"

namespace dz {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string utf8Text(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t length = utf8CharacterLength(bytes);
        if (length == 0 && static_cast<unsigned char>(bytes.front()) < 0x80) {
            text += bytes.front();
            bytes.remove_prefix(1);
        } else if (length == 0) {
            text += kReplacement;
            bytes.remove_prefix(1);
        } else {
            text.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return text;
}

std::string hexOf(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

bool bytesOfHex(std::string_view hex, std::string& bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high << 4 | low);
    }
    return true;
}

std::string isoTime(std::uint64_t fileTime) {
    // Days from 1601-01-01 to the calendar date, by the civil-from-days algorithm counted from
    // 0000-03-01, so that leap days fall at the end of each year.
    const std::uint64_t ticksPerSecond = 10000000;
    const std::uint64_t seconds = fileTime / ticksPerSecond;
    const unsigned fraction = static_cast<unsigned>(fileTime % ticksPerSecond);
    const std::uint64_t daysSince1601 = seconds / 86400;
    const unsigned secondOfDay = static_cast<unsigned>(seconds % 86400);
    // 1601-01-01 is day 584694 after 0000-03-01.
    const std::uint64_t days = daysSince1601 + 584694;
    const std::uint64_t era = days / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days % 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;  // 0 is March
    const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::uint64_t year = era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
    if (year > 9999) return std::string();
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", static_cast<unsigned>(year),
                  month, day, secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
    std::string result = text;
    if (fraction != 0) {
        std::snprintf(text, sizeof text, ".%07u", fraction);
        std::string digits = text;
        while (digits.back() == '0') digits.pop_back();
        result += digits;
    }
    return result + "Z";
}

std::string withCommas(std::uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

}  // namespace dz
