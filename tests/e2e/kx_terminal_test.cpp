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

namespace e2e {
namespace {

TEST_F(KxTerminalTest, EveryFailureGivesOneJsonDocument) {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"}, {"system.img", 2, "system"}};
    write(buildContainer(plan));
    ASSERT_EQ(kx({"extract", "a.dz", "-C", "work", "--manifest", "work/m.json"}).status, 0);
    write("not json", "bad.json");
    write("in the way", "taken.dz");
    ASSERT_TRUE(std::filesystem::create_directory(dir / "folder.dz"));
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* code;
        bool surveyed;  // the document tells the container's header beside the error
    };
    const Case cases[] = {
        {{"test", "missing.dz"}, 1, "not-found", false},
        {{"info", "folder.dz"}, 1, "not-a-file", false},
        {{"list", "/dev/null"}, 1, "not-a-file", false},
        {{"extract", "a.dz", "nothing*"}, 1, "no-match", true},
        {{"extract", "a.dz", "-C", "work"}, 1, "exists", true},
        {{"extract", "a.dz", "-C", "work/new", "--manifest", "elsewhere/m.json"},
         1,
         "manifest",
         true},
        {{"pack", "bad.json", "-o", "b.dz"}, 1, "manifest", false},
        {{"pack", "work/m.json", "-o", "taken.dz"}, 1, "exists", false},
        {{"test", "a.dz", "-j", "0"}, 2, "usage", false},
    };
    for (const Case& c : cases) {
        if (c.arguments[1] == "/dev/null" && testsupport::testingWindowsProgram()) continue;
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back("--json");
        const testsupport::RunResult result = kx(arguments);
        const std::string line = c.arguments[0] + " " + c.arguments[1];
        EXPECT_EQ(result.status, c.status) << line;
        const json document = json::parse(result.output, nullptr, false);
        ASSERT_TRUE(document.is_object()) << line << ": " << result.output;
        EXPECT_EQ(document["ok"], false) << line;
        EXPECT_EQ(document["error"]["code"], c.code) << line << ": " << result.errors;
        EXPECT_FALSE(document["error"]["reason"].get<std::string>().empty()) << line;
        EXPECT_EQ(document["errors"][0], document["error"]) << line;
        EXPECT_EQ(document.contains("header"), c.surveyed) << line;
        // People still read the same error on standard error.
        EXPECT_NE(result.errors.find(document["error"]["reason"].get<std::string>()),
                  std::string::npos)
            << line;
    }
    // And a pack that went well says what it wrote.
    const testsupport::RunResult packed = kx({"pack", "work/m.json", "-o", "b.dz", "--json"});
    EXPECT_EQ(packed.status, 0) << packed.errors;
    const json document = json::parse(packed.output);
    EXPECT_EQ(document["ok"], true);
    EXPECT_EQ(document["entries"], 2);
    EXPECT_EQ(document["copied"], 2);
    EXPECT_EQ(document["bytes"], std::filesystem::file_size(dir / "b.dz"));
}

TEST_F(KxTerminalTest, NamesComeAloneEachOnceAndComplete) {
    ContainerPlan plan;
    plan.subfiles = {{"my system.img", 1, "first half "},
                     {"line\nbreak.bin", 2, "no output: its name holds a control"},
                     {"boot.img", 3, "kernel"},
                     {"my system.img", 1, "second half"}};
    write(buildContainer(plan));
    EXPECT_EQ(kx({"list", "a.dz", "--names"}).output, "my system.img\nboot.img\n");
    EXPECT_EQ(kx({"l", "a.dz", "-1"}).output, "my system.img\nboot.img\n");
    EXPECT_EQ(kx({"list", "a.dz", "-0"}).output, std::string("my system.img\0boot.img\0", 23));
    // The short commands are the long ones.
    for (const auto& [alias, command] : std::vector<std::pair<std::string, std::string>>{
             {"i", "info"}, {"l", "list"}, {"t", "test"}}) {
        EXPECT_EQ(kx({alias, "a.dz", "--json"}).output, kx({command, "a.dz", "--json"}).output);
    }
    EXPECT_EQ(kx({"x", "a.dz", "my*", "-C", "out", "-q"}).status, 0);
    EXPECT_TRUE(holds(dir / "out/my system.img", "first half second half"));

    // Bash completes a name with a space whole, from what kx list -0 gives.
    if (testsupport::testingWindowsProgram()) return;
    const std::string kxFolder =
        std::filesystem::path(testsupport::kxUnderTest()).parent_path().string();
    const std::string script = "source '" KESTRIX_SOURCE_DIR "/completions/kx.bash'; PATH='" +
                               kxFolder +
                               "':$PATH; COMP_WORDS=(kx extract a.dz my); COMP_CWORD=3; _kx; "
                               "printf '[%s]' \"${COMPREPLY[@]}\"";
    testsupport::RunOptions options;
    options.program = "/bin/bash";
    EXPECT_EQ(run({"-c", script}, options).output, "[my system.img]");
}

TEST_F(KxTerminalTest, AContainerCutShortSaysSo) {
    ContainerPlan plan;
    // Small enough that its sizes need no thousands separator.
    plan.subfiles = {{"boot.img", 1, "kernel"}, {"system.img", 2, "system"}};
    const std::string whole = buildContainer(plan).flat();
    const testsupport::ContainerImage image = buildContainer(plan);
    std::string endless = whole;
    endless[endless.size() - 1] = 'Y';  // a wrong end marker, nothing missing
    struct Case {
        const char* what;
        std::string bytes;
        bool cut;
    };
    const Case cases[] = {
        {"inside the second sub-file", whole.substr(0, image.subfileAt[1] + 200), true},
        {"inside a sub-file header", whole.substr(0, image.subfileAt[1] + 100), true},
        {"where the table begins", whole.substr(0, image.tableAt), true},
        {"inside the table", whole.substr(0, image.tableAt + 30), true},
        {"inside the main header", whole.substr(0, 200), true},
        {"the end marker changed", endless, false},
    };
    ASSERT_LT(whole.size(), 1000u);
    for (const Case& c : cases) {
        write(c.bytes);
        const testsupport::RunResult result = kx({"test", "a.dz"});
        EXPECT_EQ(result.status, 1) << c.what;
        const std::string hint =
            "(the file may be cut short: " + std::to_string(c.bytes.size()) + " bytes)";
        EXPECT_EQ(result.errors.find(hint) != std::string::npos, c.cut) << c.what << result.errors;
        const json document = json::parse(kx({"info", "a.dz", "--json"}).output);
        EXPECT_EQ(document.value("truncated", false), c.cut) << c.what;
    }
}

}  // namespace
}  // namespace e2e
