// The message formatter's exact-width rules and the line forms.
#include "app/format.h"

#include <gtest/gtest.h>

#include <string>

#include "app/run_state.h"

namespace app {
namespace {

std::string format(const char* text, std::initializer_list<FormatArg> args,
                   std::size_t capacity = kMessageSize) {
    char buffer[kMessageSize + 8];
    std::size_t written = formatMessage(buffer, capacity, text, args);
    EXPECT_EQ(written, std::string(buffer).size() + 1);
    return buffer;
}

TEST(FormatMessage, Expansions) {
    struct Case {
        const char* format;
        std::initializer_list<FormatArg> args;
        const char* expected;
    };
    const Case cases[] = {
        {"     - File:#%02d - Type:%03X - Offs:%08X",
         {123, 0xABCDu, 0x1F0u},
         "     - File:#23 - Type:BCD - Offs:000001F0"},
        {"%d", {0}, "0"},
        {"%X", {0}, "00000000"},
        {"%8X", {0xFFFFFFFFu}, "FFFFFFFF"},
        {"%2X", {0xFFFFFFFFu}, "FF"},
        {"%X", {0x1Au}, "0000001A"},
        {"%9X", {0x1Au}, "0000001A"},
        {"%3X", {0x1234u}, "234"},
        {"v%d.", {2}, "v2."},
        {"[%s]%d", {"", 7}, "[]7"},
        {"%d", {-1}, "4294967295"},
        {"%2d", {2010}, "10"},
        {"%4d", {7}, "0007"},
        {"%16d", {5}, "0000000000000005"},
        {"%20d", {5}, "0000000000000005"},
        {"%-5d", {9}, "5d"},
        {"a%%b", {}, "ab"},
        {"%Z%d", {4}, "4"},
        {"%s and %s", {"one", "two"}, "one and two"},
        {"%5s|", {"ab"}, "ab|"},
        {"cut %", {}, "cut "},
        {"cut %12", {}, "cut "},
    };
    for (const Case& c : cases) EXPECT_EQ(format(c.format, c.args), c.expected) << c.format;
}

TEST(FormatMessage, LongExpansionIsCutAndKeepsItsLineEnd) {
    std::string path(400, 'p');
    std::string line = format(" [x] Error while opening file %s.\r\n", {path.c_str()});
    ASSERT_EQ(line.size(), kMessageSize - 1);
    EXPECT_EQ(line.substr(0, 30), " [x] Error while opening file ");
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    EXPECT_EQ(line[line.size() - 3], 'p');

    // Exactly full still fits whole.
    std::string fits(kMessageSize - 1 - 2, 'q');
    EXPECT_EQ(format("%s\r\n", {fits.c_str()}), fits + "\r\n");
    std::string over(kMessageSize - 1 - 1, 'q');
    EXPECT_EQ(format("%s\r\n", {over.c_str()}), over.substr(0, over.size() - 1) + "\r\n");
    // A small buffer cuts too, without writing past it.
    EXPECT_EQ(format("abcdef", {}, 4), "abc");
}

}  // namespace
}  // namespace app
