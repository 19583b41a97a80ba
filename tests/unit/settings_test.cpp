// The settings path, the settings reader and the working size.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/profile.h"

namespace app {
namespace {

TEST(SettingsPath, ExeBecomesIniAnyOtherGetsIt) {
    struct Case {
        const char* program;
        const char* settings;
    };
    const Case cases[] = {
        {"C:\\tools\\Kestrix.exe", "C:\\tools\\Kestrix.ini"},
        {"C:\\tools\\KESTRIX.EXE", "C:\\tools\\KESTRIX.ini"},
        {"/usr/local/bin/kestrix", "/usr/local/bin/kestrix.ini"},
        {"/opt/x.exe.bak", "/opt/x.exe.bak.ini"},
        {"a", "a.ini"},
    };
    for (const Case& c : cases) {
        char path[kPathSize];
        ASSERT_TRUE(settingsPathFor(c.program, path, sizeof path)) << c.program;
        EXPECT_STREQ(path, c.settings);
    }
}

TEST(SettingsPath, APathThatDoesNotFitReadsNoSettings) {
    char path[kPathSize];
    std::string fits(kPathSize - 5, 'p');  // with ".ini" and the zero: exactly 260
    EXPECT_TRUE(settingsPathFor(fits.c_str(), path, sizeof path));
    EXPECT_FALSE(settingsPathFor((fits + "p").c_str(), path, sizeof path));
    std::string exe(kPathSize - 1 - 4, 'p');
    EXPECT_TRUE(settingsPathFor((exe + ".exe").c_str(), path, sizeof path));
}

TEST(WorkingSize, FromWorkmem) {
    EXPECT_EQ(workingSizeFor(0), 240u << 20);
    EXPECT_EQ(workingSizeFor(-3), 240u << 20);
    EXPECT_EQ(workingSizeFor(1), 1u << 20);
    EXPECT_EQ(workingSizeFor(16), 16u << 20);
    EXPECT_EQ(workingSizeFor(4095), 4095u << 20);
    EXPECT_EQ(workingSizeFor(4096), 4095u << 20);
    EXPECT_EQ(workingSizeFor(5000), 4095u << 20);
}

TEST(ProfileNumber, ReadsTheValueTextOnEverySystem) {
    struct Case {
        std::string text;
        long long expected;
    };
    const Case cases[] = {
        {"16", 16},
        {"+16", 16},
        {"-16", -16},
        {"010", 10},
        {"0x10", 16},
        {"+0x10", 16},
        {"-0x10", -16},
        {"0xAbC", 2748},
        {"0o20", 16},
        {"0b10000", 16},
        {"0X10", 0},
        {"0O20", 0},
        {"0B11", 0},
        {"0x", 0},
        {"0x1g", 1},
        {"0o78", 7},
        {"0b102", 2},
        {"00x10", 0},
        {"16MiB", 16},
        {"16.9", 16},
        {"1 6", 1},
        {"\x01\x1F 16", 16},
        {"\x7F"
         "16",
         0},
        {"\xA0"
         "16",
         0},
        {"\xE2\x80\x83"
         "16",
         0},                              // an em space
        {"\xEF\xBC\x91\xEF\xBC\x96", 0},  // full-width digits
        {"++16", 0},
        {"+-16", 0},
        {"- 16", 0},
        {"abc", 0},
        {" ", 0},
        {"-0", 0},
        {"4294967312", 4294967312LL},
        {"0x100000010", 4294967312LL},
        {"-4294967280", -4294967280LL},
        {std::string(40, '0') + "16", 16},
        {std::string(40, '9'), platform::kSaturatedNumber},
        {"-" + std::string(40, '9'), -platform::kSaturatedNumber},
        {"", 99},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::profileNumber(c.text.data(), c.text.size(), 99), c.expected) << c.text;
        // The Windows build reads the value in wide characters; each byte stands for one here.
        std::wstring wide;
        for (char byte : c.text) wide += static_cast<wchar_t>(static_cast<unsigned char>(byte));
        EXPECT_EQ(platform::profileNumber(wide.data(), wide.size(), 99), c.expected) << c.text;
    }
}

// The text in UTF-16 with its byte-order mark.
std::string utf16(const std::u16string& text, bool bigEndian = false) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        char low = static_cast<char>(unit & 0xFF);
        char high = static_cast<char>(unit >> 8);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

TEST(ProfileInteger, FindsTheKeyLikeTheWindowsCall) {
    using namespace std::string_literals;
    struct Case {
        std::string text;
        long long expected;
    };
    const Case cases[] = {
        {"[main]\nworkmem=16\n", 16},
        {"[main]\r\nworkmem=16\r\n", 16},
        {"[main]\rworkmem=16\r", 16},
        {"[MAIN]\nWORKMEM=16", 16},
        {" \t[ main ]\v\n\f workmem\x1A=\x1A 16 \r\n", 16},
        {"\xEF\xBB\xBF[main]\nworkmem=16\n", 16},
        {"\xEF\xBB\xBF\xEF\xBB\xBF[main]\nworkmem=16\n", 99},
        {" \xEF\xBB\xBF[main]\nworkmem=16\n", 99},
        {utf16(u"[main]\r\nworkmem=16\r\n"), 16},
        {utf16(u"[main]\nworkmem=0x10\n", true), 16},
        {utf16(u"[main]\nworkmem=16") + "7", 16},  // a lone last byte is no character
        {utf16(u"[ma\u0131n]\nworkmem=16\n"), 99},
        {utf16(u"[main]\nworkmem=\uFF11\uFF16\n"), 0},
        {utf16(u"[main]\nworkmem=16\n").substr(2), 99},
        {"[main]\nworkmem=-3\n", -3},
        {"[main]\nworkmem=abc\n", 0},
        {"[main]\nworkmem=\n", 99},
        {"[main]\nworkmem=\"16\"\n", 16},
        {"[main]\nworkmem=' 16'\n", 16},
        {"[main]\nworkmem=\"\"\n", 99},
        {"[main]\nworkmem=\"16\n", 0},
        {"[main]\nworkmem='16\"\n", 0},
        {"[main]\nworkmem=\"16\"\x01\n", 0},
        {"[main]\nworkmem==16\n", 0},
        {"", 99},
        {"[main]\n", 99},
        {"[main", 99},
        {"[other]\nworkmem=16\n", 99},
        {"workmem=16\n[main]\n", 99},
        {"[main]\n;workmem=16\n", 99},
        {"[main]\nworkmemory=3\n", 99},
        {"[main] ; note\nworkmem=16\n", 16},
        {"[main]]\nworkmem=16\n", 99},
        {"[main\nworkmem=16\n", 99},
        {"[main]\n[x\nworkmem=16\n", 16},
        {"[other]\nworkmem=1\n[main]\nworkmem=2\n", 2},
        {"[main]\nworkmem=3\nworkmem=4\n", 3},
        {"[main]\nworkmem\nworkmem=4\n", 99},
        {"[main]\nworkmem=3\n[MAIN]\nworkmem=4\n", 3},
        {"[main]\nother=1\n[x]\n[main]\nworkmem=4\n", 99},
        {"[main]\nwork\0mem=16\n"s, 99},
        {"[main]\nworkmem\0=16\n"s, 16},
        {"[main\0]\nworkmem=16\n"s, 16},
        {"[main \0]\nworkmem=16\n"s, 99},
        {"[main]\nworkmem=1\0"
         "6\n"s,
         1},
        {"[main]\nworkmem=\"16\0\"\n"s, 0},
        {"[main]\n" + std::string(70000, ';') + "\nworkmem=16", 16},
        {"[main]\nworkmem=16" + std::string(70000, ' ') + "7", 16},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(platform::profileIntegerFromText(text.data(), text.size(), "main", "workmem", 99),
                  c.expected)
            << c.text.substr(0, 80);
    }
}

}  // namespace
}  // namespace app
