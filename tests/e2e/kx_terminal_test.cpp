// kx at a terminal and in scripts, through the real program: the progress line never mixes with
// result lines, every failure gives JSON when asked, names come alone, short commands work.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using nlohmann::json;
using testsupport::buildContainer;
using testsupport::ContainerPlan;

// What a terminal shows for `bytes`: carriage returns go back to the line's start and what
// follows writes over it. `lines` are the lines, trailing spaces dropped, the line the cursor ends
// on last; `glued` counts the lines (text ended by a line end) begun over text still shown.
struct Screen {
    std::vector<std::string> lines{1};
    int glued = 0;
};

Screen screenOf(const std::string& bytes) {
    Screen screen;
    std::size_t column = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        std::string& line = screen.lines.back();
        if (c == '\r') {
            column = 0;
            // Text from here to a line end, not to a carriage return, is a line, not a redraw.
            const std::size_t end = bytes.find_first_of("\r\n", i + 1);
            if (end != std::string::npos && bytes[end] == '\n' && end > i + 1 &&
                line.find_first_not_of(' ') != std::string::npos) {
                ++screen.glued;
            }
        } else if (c == '\n') {
            screen.lines.emplace_back();
            column = 0;
        } else {
            if (column < line.size()) {
                line[column] = c;
            } else {
                line += c;
            }
            ++column;
        }
    }
    for (std::string& line : screen.lines) line.erase(line.find_last_not_of(' ') + 1);
    return screen;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class KxTerminalTest : public E2eTest {};

TEST_F(KxTerminalTest, TheProgressLineNeverMixesWithResultLines) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "a terminal is POSIX here";
    // The line names the entry in hand the longest: here a long name, while the short ones'
    // shorter lines are written.
    ContainerPlan plan;
    plan.subfiles.push_back({std::string(56, 'n') + ".img", 1, bulky(16u << 20, 'n')});
    for (int i = 1; i < 6; ++i) {
        plan.subfiles.push_back({"p" + std::to_string(i), 1u + static_cast<unsigned>(i),
                                 bulky(1u << 20, static_cast<char>('a' + i))});
    }
    write(buildContainer(plan));
    // One entry fails its digest: an error line too.
    std::string changed = plan.subfiles[3].content;
    changed[1000] ^= 1;
    plan.subfiles[3].packed = testsupport::deflateContent(changed, false);
    write(buildContainer(plan), "bad.dz");
    struct Case {
        std::vector<std::string> piped, onTerminal;
    };
    const Case cases[] = {
        {{"test", "bad.dz", "-j", "2"}, {"test", "bad.dz", "-j", "2"}},
        {{"extract", "a.dz", "-C", "out", "--manifest", "m.json", "-j", "2"},
         {"extract", "a.dz", "-C", "out", "--manifest", "m.json", "-j", "2", "--force"}},
        {{"pack", "m.json", "-o", "b.dz", "--recompress"},
         {"pack", "m.json", "-o", "b.dz", "--recompress", "--force"}},
    };
    for (const Case& c : cases) {
        const testsupport::RunResult piped = kx(c.piped);
        testsupport::RunOptions terminal;
        terminal.terminal = terminal.errorsOnTerminal = true;
        const testsupport::RunResult shown = kx(c.onTerminal, terminal);
        EXPECT_EQ(shown.status, piped.status) << c.piped[0];
        const Screen seen = screenOf(shown.output);
        EXPECT_EQ(seen.glued, 0) << c.piped[0];
        std::vector<std::string> screen = seen.lines;
        EXPECT_EQ(screen.back(), "") << c.piped[0] << ": the progress line stays";
        screen.pop_back();
        std::vector<std::string> expected = linesOf(piped.output + piped.errors);
        std::sort(screen.begin(), screen.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(screen, expected) << c.piped[0];
        EXPECT_NE(shown.output.find("% "), std::string::npos) << c.piped[0] << ": no progress";
    }
}

}  // namespace
}  // namespace e2e
