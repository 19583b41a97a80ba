// Splitting the command line and applying the options.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace app {
namespace {

struct Parsed {
    std::vector<std::string> tokens;
    RunFlags flags{};
};

std::vector<std::string> split(std::string line, ArgumentTable& table) {
    static std::string storage;
    storage = std::move(line);
    splitCommandLine(storage.data(), table);
    std::vector<std::string> tokens;
    for (int i = 0; i < table.count; ++i) tokens.push_back(table.tokens[i]);
    return tokens;
}

Parsed parse(const std::string& line) {
    ArgumentTable table{};
    Parsed parsed;
    split(line, table);
    applyOptions(table, parsed.flags);
    for (int i = 0; i < table.count; ++i) parsed.tokens.push_back(table.tokens[i]);
    return parsed;
}

TEST(SplitCommandLine, Tokens) {
    using Tokens = std::vector<std::string>;
    struct Case {
        const char* line;
        Tokens tokens;
    };
    const Case cases[] = {
        {"prog a.dz", {"prog", "a.dz"}},
        {"prog  a.dz   out ", {"prog", "a.dz", "out"}},
        {"prog a\tb", {"prog", "a\tb"}},
        {"prog \"C:\\My Files\\a.dz\" out", {"prog", "C:\\My Files\\a.dz", "out"}},
        {"\"C:\\Program Files\\Kestrix.exe\" a.dz", {"C:\\Program Files\\Kestrix.exe", "a.dz"}},
        {"prog \"ab\"cd", {"prog", "ab", "cd"}},
        {"prog a\"b\"c", {"prog", "a\"b\"c"}},
        {"prog \"\" x", {"prog", "", "x"}},
        {"prog \"", {"prog", ""}},
        {"prog \"open quote runs on", {"prog", "open quote runs on"}},
        {"", {}},
        {"   ", {}},
    };
    for (const Case& c : cases) {
        ArgumentTable table{};
        EXPECT_EQ(split(c.line, table), c.tokens) << c.line;
        EXPECT_FALSE(table.overflow);
    }
}

TEST(SplitCommandLine, MoreThanTheTableHoldsIsMarked) {
    std::string line = "prog";
    for (int i = 1; i < kMaxTokens; ++i) line += " t";
    ArgumentTable table{};
    split(line, table);
    EXPECT_EQ(table.count, kMaxTokens);
    EXPECT_FALSE(table.overflow);
    split(line + " one-more", table);
    EXPECT_EQ(table.count, kMaxTokens);
    EXPECT_TRUE(table.overflow);
}

TEST(ApplyOptions, FlagsAndRemainingTokens) {
    using Tokens = std::vector<std::string>;
    struct Case {
        const char* line;
        Tokens tokens;
        bool header, table, extract;
    };
    const Case cases[] = {
        {"prog a.dz", {"prog", "a.dz"}, false, false, false},
        {"prog -h \"C:\\My Files\\a.dz\" out",
         {"prog", "C:\\My Files\\a.dz", "out"},
         true,
         false,
         false},
        {"prog a.dz -O -x", {"prog", "a.dz"}, false, true, true},
        {"prog -q a.dz", {"prog", "a.dz"}, false, false, false},
        {"prog -H", {"prog"}, true, false, false},
        {"prog -hx a.dz", {"prog", "a.dz"}, true, false, false},
        {"prog -help a.dz", {"prog", "a.dz"}, true, false, false},
        {"prog - a.dz -X", {"prog", "a.dz"}, false, false, true},
        {"-h a.dz", {"-h", "a.dz"}, false, false, false},  // entry 0 is never an option
        {"prog a.dz -o out -h", {"prog", "a.dz", "out"}, true, true, false},
    };
    for (const Case& c : cases) {
        Parsed parsed = parse(c.line);
        EXPECT_EQ(parsed.tokens, c.tokens) << c.line;
        EXPECT_EQ(parsed.flags.header, c.header) << c.line;
        EXPECT_EQ(parsed.flags.table, c.table) << c.line;
        EXPECT_EQ(parsed.flags.extract, c.extract) << c.line;
    }
}

}  // namespace
}  // namespace app
