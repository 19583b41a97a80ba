// kx's pure helpers at their boundary values: times, UTF-8 text, hex, counts, units and
// wildcards.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "kx/text.h"
#include "kx/wildcard.h"

namespace kx {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kYear10000 = 2650467744000000000;  // 10000-01-01T00:00:00Z

TEST(TextHelpers, IsoTime) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "1601-01-01T00:00:00Z"},
        {1, "1601-01-01T00:00:00.0000001Z"},
        {kTicksPerSecond - 1, "1601-01-01T00:00:00.9999999Z"},
        {kTicksPerSecond / 2, "1601-01-01T00:00:00.5Z"},
        {kTicksPerSecond + 1200000, "1601-01-01T00:00:01.12Z"},
        {kTicksPerSecond, "1601-01-01T00:00:01Z"},
        {315359990000000, "1601-12-31T23:59:59Z"},
        {997056000000000, "1604-02-29T00:00:00Z"},
        {31292352000000000, "1700-03-01T00:00:00Z"},  // 1700 had no 29 February
        {116444736000000000, "1970-01-01T00:00:00Z"},
        {125962560000000000, "2000-02-29T00:00:00Z"},
        {125963424000000000, "2000-03-01T00:00:00Z"},
        {129143443100000000, "2010-03-29T13:51:50Z"},
        {kYear10000 - kTicksPerSecond, "9999-12-31T23:59:59Z"},
        {kYear10000 - 1, "9999-12-31T23:59:59.9999999Z"},
        {kYear10000, ""},
        {UINT64_MAX, ""},
    };
    for (const auto& [fileTime, expected] : cases) {
        EXPECT_EQ(isoTime(fileTime), expected) << fileTime;
    }
}

TEST(TextHelpers, Utf8Text) {
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {std::string("a\0b\x7F", 4), std::string("a\0b\x7F", 4)},
        {"\xC2\x80", "\xC2\x80"},  // the first of each length
        {"\xE0\xA0\x80", "\xE0\xA0\x80"},
        {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
        {"\xDF\xBF", "\xDF\xBF"},  // the last of each length
        {"\xEF\xBF\xBF", "\xEF\xBF\xBF"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"\xED\x9F\xBF\xEE\x80\x80", "\xED\x9F\xBF\xEE\x80\x80"},  // either side of surrogates
        {"x\xC3\xA9y", "x\xC3\xA9y"},
        {"\xC0\x80", bad + bad},  // overlong
        {"\xC1\xBF", bad + bad},
        {"\xE0\x9F\xBF", bad + bad + bad},
        {"\xF0\x8F\xBF\xBF", bad + bad + bad + bad},
        {"\xED\xA0\x80", bad + bad + bad},  // surrogates
        {"\xED\xBF\xBF", bad + bad + bad},
        {"\xF4\x90\x80\x80", bad + bad + bad + bad},  // past U+10FFFF
        {"\xF5\x80\x80\x80", bad + bad + bad + bad},
        {"\xF8\xFE\xFF", bad + bad + bad},
        {"\x80\xBF", bad + bad},  // continuation bytes alone
        {"\xC3", bad},            // cut at the last byte
        {"a\xE2\x82", "a" + bad + bad},
        {"\xF0\x9F\x98", bad + bad + bad},
        {"\xC3"
         "A",
         bad + "A"},
        {"\xE2\x82\xC0", bad + bad + bad},
        {"\xE2\x82\xAC\xE2", "\xE2\x82\xAC" + bad},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(utf8Text(bytes), expected) << hexOf(bytes);
    }
}

TEST(TextHelpers, HexBothWays) {
    struct Case {
        std::string_view hex;
        bool good;
        std::string bytes;
    };
    const Case cases[] = {
        {"", true, ""},
        {"000ff0ff", true, std::string("\x00\x0F\xF0\xFF", 4)},
        {"0123456789abcdef", true, "\x01\x23\x45\x67\x89\xAB\xCD\xEF"},
        {"ABCDEF", true, "\xAB\xCD\xEF"},
        {"aBcD", true, "\xAB\xCD"},
        {"0", false, ""},
        {"abc", false, ""},
        {"0g", false, ""},
        {"g0", false, ""},
        {"0G", false, ""},
        {"/0", false, ""},  // the neighbours of each range of digits
        {":0", false, ""},
        {"@0", false, ""},
        {"`0", false, ""},
        {"0 ", false, ""},
        {"0x", false, ""},
        {std::string_view("0\0", 2), false, ""},
        {std::string_view("abc0", 3), false, ""},  // odd, though a digit follows in memory
    };
    for (const Case& c : cases) {
        std::string bytes;
        EXPECT_EQ(bytesOfHex(c.hex, bytes), c.good) << c.hex;
        if (c.good) {
            EXPECT_EQ(bytes, c.bytes) << c.hex;
            std::string lower(c.hex);
            for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
            EXPECT_EQ(hexOf(c.bytes), lower);
        }
    }
}

TEST(TextHelpers, WithCommas) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {12345, "12,345"},
        {999999, "999,999"},
        {1000000, "1,000,000"},
        {UINT64_MAX, "18,446,744,073,709,551,615"},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(withCommas(value), expected);
}

TEST(TextHelpers, InUnits) {
    const std::pair<double, const char*> cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KiB"},
        {1536, "1.5 KiB"},
        {1048575, "1024.0 KiB"},
        {1048576, "1.0 MiB"},
        {1.5 * (1 << 30), "1.5 GiB"},
        {1099511627776.0, "1.0 TiB"},
        {1125899906842624.0, "1024.0 TiB"},  // nothing above TiB
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(inUnits(bytes), expected) << bytes;
}

TEST(Wildcard, PatternsAndNames) {
#ifdef _WIN32
    constexpr bool kFoldsCase = true;
#else
    constexpr bool kFoldsCase = false;
#endif
    struct Case {
        const char* pattern;
        const char* text;
        bool matches;
    };
    const Case cases[] = {
        {"", "", true},
        {"", "a", false},
        {"a", "", false},
        {"*", "", true},
        {"**", "", true},
        {"*", "system.img", true},
        {"a*", "a", true},
        {"*a", "ba", true},
        {"*a", "ab", false},
        {"*ab", "aab", true},  // the star takes one more character and tries again
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "aXbY", false},
        {"*.bin", "x.bin.bin", true},
        {"*.bin", "x.bin.binX", false},
        {"?", "", false},
        {"?", "a", true},
        {"?", "ab", false},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"[a-z]", "a", true},
        {"[a-z]", "m", true},
        {"[a-z]", "z", true},
        {"[a-z]", "`", false},  // 'a' - 1
        {"[a-z]", "{", false},  // 'z' + 1
        {"[a-z]", "", false},
        {"[a-z]", "ab", false},
        {"[!a-z]", "a", false},
        {"[!a-z]", "z", false},
        {"[!a-z]", "`", true},
        {"[!a-z]", "{", true},
        {"[^a]", "b", true},
        {"[^a]", "a", false},
        {"[abc]", "c", true},
        {"[abc]", "d", false},
        {"[]]", "]", true},  // ']' first is one of the set
        {"[]a]", "a", true},
        {"[!]]", "]", false},
        {"[a-]", "-", true},  // '-' last is itself
        {"[a-]", "b", false},
        {"[0-9][0-9]x", "42x", true},
        {"file[0-9][0-9]", "file1", false},
        {"[", "[", true},  // an unterminated set is '[' itself
        {"[", "a", false},
        {"[a", "[a", true},
        {"[a", "a", false},
        {"[a-z", "[a-z", true},
        {"[!]", "[!]", true},
        {"*[", "ab[", true},
        {"a.b", "a.b", true},  // nothing is special but * ? [
        {"a.b", "axb", false},
        {"a+(b)$^\\|{}", "a+(b)$^\\|{}", true},
        {"\\*", "\\x", true},
        {"*.BIN", "boot.bin", kFoldsCase},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wildcardMatch(c.pattern, c.text), c.matches)
            << "\"" << c.pattern << "\" on \"" << c.text << "\"";
    }
}

}  // namespace
}  // namespace kx
