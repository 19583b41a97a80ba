// Wildcard matching.
#include "kx/wildcard.h"

#include <string>

#include "platform/platform.h"

namespace kx {
namespace {

// Whether `c` is in the set that starts at pattern[at] (just after '['); moves `at` past the
// closing ']'. A set without a closing ']' is taken as the character '[' itself.
bool inSet(std::string_view pattern, std::size_t& at, char c, bool& isSet) {
    std::size_t i = at;
    const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    if (negated) ++i;
    bool found = false;
    bool first = true;
    for (; i < pattern.size() && (pattern[i] != ']' || first); first = false) {
        char low = pattern[i];
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = pattern[i + 2];
            i += 3;
        } else {
            ++i;
        }
        if (low <= c && c <= high) found = true;
    }
    isSet = i < pattern.size();
    if (!isSet) return c == '[';
    at = i + 1;
    return found != negated;
}

bool matches(std::string_view pattern, std::string_view text) {
    std::size_t p = 0;
    std::size_t t = 0;
    // Where to go on when what follows the last '*' fails: one more character for the star.
    std::size_t starPattern = std::string_view::npos;
    std::size_t starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starPattern = ++p;
            starText = t;
            continue;
        }
        if (p < pattern.size()) {
            if (pattern[p] == '?') {
                ++p;
                ++t;
                continue;
            }
            if (pattern[p] == '[') {
                std::size_t after = p + 1;
                bool isSet = false;
                if (inSet(pattern, after, text[t], isSet)) {
                    p = isSet ? after : p + 1;
                    ++t;
                    continue;
                }
            } else if (pattern[p] == text[t]) {
                ++p;
                ++t;
                continue;
            }
        }
        if (starPattern == std::string_view::npos) return false;
        p = starPattern;
        t = ++starText;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

bool wildcardMatch(std::string_view pattern, std::string_view text) {
    return matches(platform::fileNameKey(pattern), platform::fileNameKey(text));
}

}  // namespace kx
