// Text for people and scripts.
#include "kx/text.h"

#include <cstdio>

namespace kx {

std::string inUnits(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    unsigned unit = 0;
    while (bytes >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

bool sizeOfText(std::string_view text, std::uint64_t& bytes) {
    std::size_t digits = 0;
    std::uint64_t count = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
        if (count > (UINT64_MAX - digit) / 10) return false;
        count = count * 10 + digit;
    }
    if (digits == 0) return false;
    std::string unit(text.substr(digits));
    for (char& c : unit) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (unit.size() == 3 && unit.compare(1, 2, "IB") == 0) unit.resize(1);
    unsigned shift = 0;
    if (unit == "K") {
        shift = 10;
    } else if (unit == "M") {
        shift = 20;
    } else if (unit == "G") {
        shift = 30;
    } else if (!unit.empty()) {
        return false;
    }
    if (count == 0 || count > (UINT64_MAX >> shift)) return false;
    bytes = count << shift;
    return true;
}

}  // namespace kx
