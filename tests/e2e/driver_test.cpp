// The run sequence through the real program: usage, opening, settings, exit statuses.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

const std::string kUsage =
    " Usage: Kestrix [options] dzfile [output]\r\n"
    "\r\n"
    "\toptions : -h : Display main header content.\r\n"
    "\t          -o : Display offset table content.\r\n"
    "\t          -x : Extract DZ file. (Default)\r\n"
    "\tdzfile  : Path and name of DZ file.\r\n"
    "\toutput  : Output path without ending \"\\\" (Default: current dir).\r\n"
    "\r\n"
    "Thanks to everyone who tested early builds and reported what they found.\r\n";

using DriverTest = E2eTest;

TEST_F(DriverTest, WrongTokenCountsShowTheUsage) {
    const std::vector<std::vector<std::string>> lines = {
        {}, {"-h", "-o"}, {"-H"}, {"a.dz", "out", "third"}, {"a.dz", "out", "third", "-h"},
    };
    for (const auto& arguments : lines) {
        testsupport::RunResult result = run(arguments);
        EXPECT_EQ(result.output, kBanner + kUsage) << arguments.size();
        EXPECT_EQ(result.status, 2);
    }
}

TEST_F(DriverTest, MoreTokensThanTheTableHoldsShowTheUsage) {
    std::vector<std::string> arguments(256, "-h");  // 257 with the program
    arguments[0] = "a.dz";
    testsupport::RunResult result = run(arguments);
    EXPECT_EQ(result.output, kBanner + kUsage);
    EXPECT_EQ(result.status, 2);

    arguments.pop_back();  // 256 tokens: the options drop out, leaving the container
    write(std::string());
    result = run(arguments);
    EXPECT_EQ(result.output, opening() + error("Invalid markers in main header.") + closing());
}

TEST_F(DriverTest, MissingContainerOrDirectoryCannotBeOpened) {
    std::filesystem::create_directory(dir / "folder.dz");
    for (const std::string path : {"missing.dz", "folder.dz"}) {
        testsupport::RunResult result = run({path});
        EXPECT_EQ(result.output, kBanner + error("Error while opening file " + path + "."));
        EXPECT_EQ(result.status, 1);
    }
}

TEST_F(DriverTest, AnyFileOpensAndIsClosed) {
    write(std::string("not a container"));
    testsupport::RunResult result = run({"a.dz"});
    EXPECT_EQ(result.output, opening() + error("Invalid markers in main header.") + closing());
    EXPECT_EQ(result.status, 1);
}

TEST_F(DriverTest, ReadOnlyContainerIsProcessed) {
    write(testsupport::buildContainer({}));
    std::filesystem::permissions(
        dir / "a.dz", std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    testsupport::RunResult result = run({"-o", "a.dz"});
    EXPECT_EQ(result.output, opening() + status("Offset-Table informations:") + closing());
    EXPECT_EQ(result.status, 0);
}

// The same settings give the same working size from the Linux program and from Kestrix.exe,
// whose system call finds the key; both read the number from the key's text alike.
TEST_F(DriverTest, WorkmemComesFromTheSettingsBesideTheProgram) {
    using namespace std::string_literals;
    const std::string bom = "\xEF\xBB\xBF";
    std::string utf16 = "\xFF\xFE";
    for (char c : "[main]\r\nworkmem=16\r\n"s) utf16 += {c, '\0'};
    std::string comments;
    while (comments.size() <= 64 * 1024) comments += ";" + std::string(78, 'p') + "\n";
    struct Case {
        std::optional<std::string> settings;  // none: no settings file
        unsigned mebibytes;
    };
    const Case cases[] = {
        {std::nullopt, 240},
        {"[main]\r\nworkmem=16\r\n", 16},
        {"[main]\nworkmem=0\n", 240},
        {"[main]\nother=3\n", 240},
        {"[other]\nworkmem=16\n", 240},
        {"[main]\nworkmem=5000\n", 4095},
        {"[main]\nworkmem=-3\n", 240},
        {"[main]\nworkmem=abc\n", 240},
        {"; comment\n[ MAIN ]\n WorkMem = 32 MiB\n", 32},
        {"[main]\nworkmem=+16\n", 16},
        {"[main]\nworkmem=0x10\n", 16},
        {"[main]\nworkmem=0o20\n", 16},
        {"[main]\nworkmem=0X10\n", 240},
        {bom + "[main]\nworkmem=16\n", 16},
        {utf16, 16},
        {"[main]\rworkmem=16\r", 16},
        {"[main]\n" + comments + "workmem=16\n", 16},
        {"[main]\nworkmem=\"16\"\n", 16},
        {"[main]\nworkmem\nworkmem=16\n", 240},
        {"[main]\n[other]\n[main]\nworkmem=16\n", 240},
        {"[main]\nworkmem=16\0"
         "7\n"s,
         16},
        // Beyond the reach of the integer call: a wrapped or cut number, look-alike characters.
        {"[main]\nworkmem=4294967312\n", 4095},
        {"[main]\nworkmem=0xFFFFFFFF\n", 4095},
        {"[main]\nworkmem=-4294967280\n", 240},
        {"[main]\nworkmem=99999999999999999999999\n", 4095},
        {"[main]\nworkmem=" + std::string(30, '0') + "16\n", 16},
        {bom + "[main]\nworkmem=\xE2\x80\x83"
               "16\n",
         240},
    };
    const std::string program = dir / testsupport::programFileName();
    std::filesystem::copy_file(testsupport::programUnderTest(), program);
    write(testsupport::buildContainer({}));
    for (const Case& c : cases) {
        std::filesystem::remove(dir / testsupport::settingsFileName());
        if (c.settings) testsupport::writeFile(dir / testsupport::settingsFileName(), *c.settings);
        testsupport::RunOptions options;
        options.program = program;
        testsupport::RunResult result = run({"-o", "a.dz"}, options);
        EXPECT_EQ(result.output,
                  opening("a.dz", c.mebibytes) + status("Offset-Table informations:") + closing())
            << (c.settings ? c.settings->substr(0, 80) : "no settings");
    }
}

TEST_F(DriverTest, ASettingsFileThatIsNoRegularFileIsIgnoredWithoutWaiting) {
    // Under Wine the system's own profile call ignores a FIFO or directory as well, so for
    // Kestrix.exe this shows the result, not which check gives it.
    const std::string program = dir / testsupport::programFileName();
    const std::string settings = dir / testsupport::settingsFileName();
    std::filesystem::copy_file(testsupport::programUnderTest(), program);
    write(testsupport::buildContainer({}));
    enum Kind { kFifo, kFifoWithWriter, kDirectory };
    for (Kind kind : {kFifo, kFifoWithWriter, kDirectory}) {
        std::filesystem::remove(settings);
        int writer = -1;
        if (kind == kDirectory) {
            std::filesystem::create_directory(settings);
        } else {
            ASSERT_EQ(::mkfifo(settings.c_str(), 0644), 0);
        }
        if (kind == kFifoWithWriter) {
            // Settings that stay offered: the writer is open until the run ends.
            writer = ::open(settings.c_str(), O_RDWR | O_NONBLOCK);
            ASSERT_GE(writer, 0);
            const std::string text = "[main]\nworkmem=16\n";
            ASSERT_EQ(::write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        }
        testsupport::RunOptions options;
        options.program = program;
        options.timeLimit = 20;
        testsupport::RunResult result = run({"-o", "a.dz"}, options);
        if (writer >= 0) ::close(writer);
        EXPECT_EQ(result.output,
                  opening("a.dz", 240) + status("Offset-Table informations:") + closing())
            << kind;
        EXPECT_EQ(result.status, 0) << kind;
    }
}

TEST_F(DriverTest, AProgramPathTooLongForItsBufferReadsNoSettings) {
    // The settings beside a program whose path does not fit 260 bytes are not read.
    std::string deep = dir.path();
    while (deep.size() < 300) deep += "/" + std::string(60, 'd');
    std::filesystem::create_directories(deep);
    const std::string program = deep + "/" + testsupport::programFileName();
    std::filesystem::copy_file(testsupport::programUnderTest(), program);
    testsupport::writeFile(deep + "/" + testsupport::settingsFileName(), "[main]\nworkmem=16\n");
    write(testsupport::buildContainer({}));
    testsupport::RunOptions options;
    options.program = program;
    testsupport::RunResult result = run({"-o", "a.dz"}, options);
    EXPECT_EQ(result.output,
              opening("a.dz", 240) + status("Offset-Table informations:") + closing());
}

TEST_F(DriverTest, OptionsChooseTheStages) {
    testsupport::ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"}};
    write(testsupport::buildContainer(plan));
    const std::string table =
        status("Offset-Table informations:") + detail("     - File:#01 - Type:001 - Offs:0000013C");
    const std::string unpacking = status("Unpacking informations:");

    testsupport::RunResult result = run({"-o", "a.dz"});
    EXPECT_EQ(result.output, opening() + table + closing());

    result = run({"-z", "a.dz", "out"});  // an unknown option sets nothing: extraction
    EXPECT_EQ(result.output.substr(0, (opening() + unpacking).size()), opening() + unpacking);
    EXPECT_EQ(result.status, 0);

    result = run({"a.dz", "-O", "-x", "out"});
    EXPECT_EQ(result.output.substr(0, (opening() + table + unpacking).size()),
              opening() + table + unpacking);
}

TEST_F(DriverTest, AUtf8TerminalShowsTheStatusSquare) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "a Windows console shows 0xFE itself";
    write(testsupport::buildContainer({}));
    struct Case {
        bool terminal;
        const char* locale;
        const char* prefix;
    };
    const Case cases[] = {
        {true, "LC_ALL=C.UTF-8", " [\xE2\x96\xA0] "},
        {true, "LC_ALL=C", " [\xFE] "},
        {true, "LC_ALL=xx_NOWHERE.UTF-8", " [\xE2\x96\xA0] "},
        {true, "LC_ALL=xx_NOWHERE.ISO-8859-1", " [\xFE] "},
        {false, "LC_ALL=C.UTF-8", " [\xFE] "},
    };
    for (const Case& c : cases) {
        testsupport::RunOptions options;
        options.terminal = c.terminal;
        options.environment = {c.locale};
        testsupport::RunResult result = run({"-o", "a.dz"}, options);
        const std::string p = c.prefix;
        EXPECT_EQ(result.output,
                  kBanner + p + "Opening file \"a.dz\".\r\n" + p + "Allocated memory: 240 Mo.\r\n" +
                      p + "Offset-Table informations:\r\n" + p + "Closing file \"a.dz\".\r\n")
            << c.locale << c.terminal;
    }
}

}  // namespace
}  // namespace e2e
