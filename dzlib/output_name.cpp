// Output names: cut to the stored extension and kept inside the output folder.
#include "dzlib/output_name.h"

#include <cctype>
#include <string_view>

#include "dzlib/text_field.h"
#include "platform/platform.h"

namespace dz {
namespace {

bool isDeviceName(std::string_view name) {
    // Windows opens these devices whatever extension follows them.
    std::string_view base = name.substr(0, name.find('.'));
    auto upper = [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    };
    char stem[5] = {};
    if (base.size() < 3 || base.size() > 4) return false;
    for (std::size_t i = 0; i < base.size(); ++i) stem[i] = upper(base[i]);
    std::string_view word(stem, base.size());
    if (word == "CON" || word == "PRN" || word == "AUX" || word == "NUL") return true;
    return base.size() == 4 && (word.substr(0, 3) == "COM" || word.substr(0, 3) == "LPT") &&
           word[3] >= '1' && word[3] <= '9';
}

bool isSafeName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || c == ':' || byte < 0x20 || byte == 0x7F) return false;
    }
    return !isDeviceName(name) && platform::fileSystemHoldsName(name);
}

}  // namespace

std::string outputNameFor(const char* field, std::size_t width) {
    std::string_view stored = fieldText(field, width);
    std::size_t fullStop = stored.rfind('.');
    if (fullStop != std::string_view::npos && stored.size() - fullStop > 4) {
        stored = stored.substr(0, fullStop + 4);
    }
    return isSafeName(stored) ? std::string(stored) : std::string();
}

}  // namespace dz
