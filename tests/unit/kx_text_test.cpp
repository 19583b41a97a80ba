// kx's small text and counting helpers: the progress line's shares and times, and the columns a
// line takes on a terminal.
#include <gtest/gtest.h>

#include "kx/console.h"
#include "kx/progress.h"

namespace kx {
namespace {

TEST(Progress, ShareOfAnEntrysWeight) {
    struct Case {
        std::uint64_t weight, upTo, length, expected;
    };
    const Case cases[] = {
        {100, 0, 10, 0},
        {100, 5, 10, 50},
        {100, 10, 10, 100},
        {100, 3, 0, 100},  // an empty entry weighs all at once
        {7, 1, 3, 2},
        {7, 3, 3, 7},
        {UINT32_MAX, UINT32_MAX - 1, UINT32_MAX, UINT32_MAX - 1},  // no overflow
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shareOf(c.weight, c.upTo, c.length), c.expected)
            << c.weight << " " << c.upTo << " " << c.length;
    }
}

TEST(Progress, ClockText) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"}, {7.4, "0:07"}, {59.6, "1:00"}, {754, "12:34"}, {3723, "1:02:03"}};
    for (const auto& [seconds, expected] : cases) EXPECT_EQ(clockText(seconds), expected);
}

TEST(Console, ColumnsOfUtf8Text) {
    struct Case {
        const char* text;
        std::size_t columns, cut;
        const char* cutText;
    };
    const Case cases[] = {
        {"abc", 3, 2, "ab"},
        {"\xc3\xa9t\xc3\xa9", 3, 1, "\xc3\xa9"},  // "été": never cut inside a character
        {"\xe2\x82\xac", 1, 0, ""},
        {"ab", 2, 5, "ab"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(columnsOf(c.text), c.columns) << c.text;
        EXPECT_EQ(cutToColumns(c.text, c.cut), c.cutText) << c.text;
    }
}

}  // namespace
}  // namespace kx
