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

TEST(ProfileInteger, ReadsLikeTheWindowsCall) {
    struct Case {
        const char* text;
        long long expected;
    };
    const Case cases[] = {
        {"[main]\nworkmem=16\n", 16},
        {"[main]\r\nworkmem=16\r\n", 16},
        {"[MAIN]\nWORKMEM=16", 16},
        {"  [ main ]  \n  workmem  =  16  \n", 16},
        {"[main]\nworkmem=16MiB\n", 16},
        {"[main]\nworkmem=-3\n", -3},
        {"[main]\nworkmem=abc\n", 0},
        {"[main]\nworkmem=\n", 99},
        {"[main]\nworkmem=99999999999999999999\n", 9999999999999LL},
        {"", 99},
        {"[main]\n", 99},
        {"[other]\nworkmem=16\n", 99},
        {"workmem=16\n[main]\n", 99},
        {"[main]\n;workmem=16\n", 99},
        {"[other]\nworkmem=1\n[main]\nworkmem=2\n", 2},
        {"[main]\nworkmem=3\nworkmem=4\n", 3},
        {"[main]\nworkmemory=3\n", 99},
        {"[main", 99},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(platform::profileIntegerFromText(text.data(), text.size(), "main", "workmem", 99),
                  c.expected)
            << c.text;
    }
}

}  // namespace
}  // namespace app
