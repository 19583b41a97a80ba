// Initialisation-file parsing shared by the systems without a profile call.
#include "platform/profile.h"

#include <cctype>
#include <string_view>

namespace platform {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

long long leadingInteger(std::string_view value) {
    bool negative = !value.empty() && value.front() == '-';
    if (negative) value.remove_prefix(1);
    long long number = 0;
    for (char c : value) {
        if (c < '0' || c > '9') break;
        if (number < 1000000000000LL) number = number * 10 + (c - '0');
    }
    return negative ? -number : number;
}

}  // namespace

long long profileIntegerFromText(const char* text, std::size_t length, const char* section,
                                 const char* key, int fallback) {
    std::string_view rest(text, length);
    bool inSection = false;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            std::string_view name =
                line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1);
            inSection = equalNoCase(trim(name), section);
            continue;
        }
        if (!inSection) continue;
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || !equalNoCase(trim(line.substr(0, equals)), key))
            continue;
        std::string_view value = trim(line.substr(equals + 1));
        if (value.empty()) return fallback;
        return leadingInteger(value);
    }
    return fallback;
}

}  // namespace platform
