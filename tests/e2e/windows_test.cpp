// What holds only for the Windows program (Kestrix.exe, run under Wine on Linux): the console
// bytes, files held open by other processes, the settings beside the program, the real command
// line and Windows paths. Every case skips itself when the program under test is not Kestrix.exe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::listDirectory;
using testsupport::readFile;

std::string hex8(std::size_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

// The detail line for a sub-file stored with the default zlib wrapper.
std::string unpackingLine(const std::string& name, const std::string& content,
                          const char* verb = "Unpacking") {
    std::string packed = testsupport::deflateContent(content, false);
    return detail(std::string("     - ") + verb + " \"" + name + "\" (Packed:" +
                  hex8(packed.size()) + " - Unpacked:" + hex8(content.size()) + ").");
}

ContainerPlan twoSubfiles() {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"}, {"system.img", 2, "root file system"}};
    return plan;
}

// The helper built with the Windows program, which holds a file open with no sharing:
// KESTRIX_E2E_HOLDER, or tests/kestrix_hold_file.exe in the program's build directory.
std::string holderProgram() {
    const char* chosen = std::getenv("KESTRIX_E2E_HOLDER");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    std::filesystem::path program(testsupport::programUnderTest());
    return (program.parent_path() / "tests" / "kestrix_hold_file.exe").string();
}

// A second Windows process holding a file open with no sharing, from construction until
// release() or destruction. The helper gives up by itself after a bounded time.
class FileHolder {
  public:
    FileHolder(const std::string& directory, const std::string& path)
        : releasePath_(directory + "/release-" + std::to_string(::getpid())) {
        std::vector<std::string> command;
        const char* launcher = std::getenv("KESTRIX_E2E_LAUNCHER");
        if (launcher != nullptr && *launcher != '\0') command.push_back(launcher);
        command.push_back(holderProgram());
        command.push_back(path);
        command.push_back(std::filesystem::path(releasePath_).filename().string());
        command.push_back(std::to_string(kHoldSeconds));
        std::vector<char*> argv;
        for (std::string& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);

        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0) return;
        child_ = ::fork();
        if (child_ == 0) {
            ::dup2(pipeEnds[1], STDOUT_FILENO);
            ::close(pipeEnds[0]);
            ::close(pipeEnds[1]);
            int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
            if (::chdir(directory.c_str()) != 0) ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(pipeEnds[1]);
        if (child_ > 0) held_ = awaitReport(pipeEnds[0]);
        ::close(pipeEnds[0]);
    }

    ~FileHolder() { release(); }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

    bool held() const { return held_; }
    const std::string& report() const { return report_; }

    // Lets the helper close the file and waits for it to exit (killing it if it does not).
    void release() {
        if (child_ <= 0) return;
        testsupport::writeFile(releasePath_, "");
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (::waitpid(child_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child_, SIGKILL);
                ::waitpid(child_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        child_ = -1;
        std::remove(releasePath_.c_str());
    }

  private:
    static constexpr int kHoldSeconds = 120;

    // Reads the helper's first line: "held" once it has the file open.
    bool awaitReport(int fd) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (report_.find('\n') == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            struct pollfd ready = {fd, POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
            char chunk[256];
            ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got <= 0) break;
            report_.append(chunk, static_cast<std::size_t>(got));
        }
        return report_.rfind("held\n", 0) == 0;
    }

    std::string releasePath_;
    pid_t child_ = -1;
    bool held_ = false;
    std::string report_;
};

class WindowsTest : public E2eTest {
  protected:
    void SetUp() override {
        if (!testsupport::testingWindowsProgram()) {
            GTEST_SKIP() << "only for the Windows program (KESTRIX_E2E_PROGRAM=.../Kestrix.exe)";
        }
    }
};

TEST_F(WindowsTest, RedirectedOutputCarriesTheRawStatusByteAndCrLf) {
    write(buildContainer({}));
    // Whatever the environment says about the terminal, the program writes the byte 0xFE.
    testsupport::RunOptions options;
    options.environment = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "TERM=xterm-256color"};
    testsupport::RunResult result = run({"-o", "a.dz"}, options);
    EXPECT_EQ(result.output, opening() + status("Offset-Table informations:") + closing());
    EXPECT_EQ(result.output.find("\xE2\x96\xA0"), std::string::npos);
    for (std::size_t at = result.output.find('\n'); at != std::string::npos;
         at = result.output.find('\n', at + 1)) {
        ASSERT_GT(at, 0u);
        EXPECT_EQ(result.output[at - 1], '\r') << "a line feed without carriage return at " << at;
    }
    EXPECT_EQ(result.status, 0);
}

TEST_F(WindowsTest, ContainerHeldOpenByAnotherProcessCannotBeOpened) {
    write(buildContainer(twoSubfiles()));
    {
        FileHolder holder(dir.path(), "a.dz");
        ASSERT_TRUE(holder.held()) << "helper " << holderProgram() << " said: " << holder.report();
        testsupport::RunResult result = run({"-o", "a.dz"});
        EXPECT_EQ(result.output, kBanner + error("Error while opening file a.dz."));
        EXPECT_EQ(result.status, 1);
    }
    // Once the other process lets go, the same container opens.
    testsupport::RunResult result = run({"-o", "a.dz"});
    EXPECT_EQ(result.output.substr(0, opening().size()), opening());
    EXPECT_EQ(result.status, 0);
}

TEST_F(WindowsTest, OutputFileHeldOpenByAnotherProcessIsAWriteError) {
    write(buildContainer(twoSubfiles()));
    std::filesystem::create_directory(dir / "out");
    testsupport::writeFile(dir / "out/boot.img", "held by another process");
    FileHolder holder(dir.path(), "out\\boot.img");
    ASSERT_TRUE(holder.held()) << "helper " << holderProgram() << " said: " << holder.report();
    testsupport::RunResult result = run({"a.dz", "out"});
    EXPECT_EQ(result.output, opening() + status("Unpacking informations:") +
                                 unpackingLine("boot.img", "kernel") +
                                 error("Error while writing \"boot.img\".") +
                                 status("SubFiles: 0x00000000. (Packsmith)") + closing());
    EXPECT_EQ(result.status, 1);
    holder.release();
    EXPECT_EQ(readFile(dir / "out/boot.img"), "held by another process");
    EXPECT_EQ(listDirectory(dir / "out"), std::vector<std::string>{"boot.img"});
}

TEST_F(WindowsTest, ReadOnlyContainerOpensAndIsProcessed) {
    write(buildContainer(twoSubfiles()));
    // Without write permission the file carries the read-only attribute under Windows.
    std::filesystem::permissions(dir / "a.dz", std::filesystem::perms::owner_read |
                                                   std::filesystem::perms::group_read |
                                                   std::filesystem::perms::others_read);
    testsupport::RunResult result = run({"a.dz", "out"});
    EXPECT_EQ(result.output, opening() + status("Unpacking informations:") +
                                 unpackingLine("boot.img", "kernel") +
                                 unpackingLine("system.img", "root file system") +
                                 status("SubFiles: 0x00000003. (Packsmith)") + closing());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile(dir / "out/boot.img"), "kernel");
    EXPECT_EQ(readFile(dir / "out/system.img"), "root file system");
}

TEST_F(WindowsTest, SettingsFileIsNamedAfterTheProgram) {
    write(buildContainer({}));
    const std::string table = status("Offset-Table informations:");
    // A folder named in another script: the program's path comes in UTF-8, like every path.
    const std::string folders[] = {"my tools", "\xD0\xB8\xD0\xBD\xD1\x81\xD1\x82\xD1\x80"};
    for (const std::string& folder : folders) std::filesystem::create_directory(dir / folder);
    struct Case {
        const char* program;   // the program's copy, in the working directory
        const char* settings;  // the settings file written beside it
        unsigned mebibytes;
    };
    const Case cases[] = {
        {"Kestrix.exe", "Kestrix.ini", 16},
        {"Kestrix.exe", "KESTRIX.INI", 16},  // names are found without regard to case
        {"Tool.EXE", "Tool.ini", 16},
        {"Tool.EXE", "Kestrix.ini", 240},
        {"my tools/Kestrix.exe", "my tools/Kestrix.ini", 16},
        {"\xD0\xB8\xD0\xBD\xD1\x81\xD1\x82\xD1\x80/Kestrix.exe",
         "\xD0\xB8\xD0\xBD\xD1\x81\xD1\x82\xD1\x80/Kestrix.ini", 16},
    };
    for (const Case& c : cases) {
        for (const std::string& name : listDirectory(dir.path())) {
            if (std::filesystem::is_directory(dir / name)) {
                for (const std::string& inside : listDirectory(dir / name)) {
                    std::filesystem::remove(dir / (name + "/" + inside));
                }
            } else if (name != "a.dz") {
                std::filesystem::remove(dir / name);
            }
        }
        std::filesystem::copy_file(testsupport::programUnderTest(), dir / c.program);
        testsupport::writeFile(dir / c.settings, "[main]\r\nworkmem=16\r\n");
        testsupport::RunOptions options;
        options.program = dir / c.program;
        testsupport::RunResult result = run({"-o", "a.dz"}, options);
        EXPECT_EQ(result.output, opening("a.dz", c.mebibytes) + table + closing())
            << c.program << " beside " << c.settings;
    }
}

TEST_F(WindowsTest, CommandLineIsSplitFromTheWholeLine) {
    std::filesystem::create_directory(dir / "my dir");
    write(buildContainer(twoSubfiles()), "my dir/a b.dz");
    const std::string path = "my dir\\a b.dz";
    testsupport::RunResult result = run({"-o", path});
    EXPECT_EQ(result.output,
              opening(path) + status("Offset-Table informations:") +
                  detail("     - File:#01 - Type:001 - Offs:0000013C") +
                  detail("     - File:#02 - Type:002 - Offs:" +
                         hex8(316 + 196 + testsupport::deflateContent("kernel", false).size())) +
                  closing(path));
    EXPECT_EQ(result.status, 0);

    // Quoted output directory, and options anywhere on the line.
    result = run({path, "-X", "out dir"});
    EXPECT_EQ(result.output, opening(path) + status("Unpacking informations:") +
                                 unpackingLine("boot.img", "kernel") +
                                 unpackingLine("system.img", "root file system") +
                                 status("SubFiles: 0x00000003. (Packsmith)") + closing(path));
    EXPECT_EQ(readFile(dir / "out dir/boot.img"), "kernel");
    EXPECT_EQ(readFile(dir / "out dir/system.img"), "root file system");

    // An empty argument is a token of its own: the output directory, the current one.
    result = run({path, ""});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile(dir / "boot.img"), "kernel");
}

TEST_F(WindowsTest, OutputPathsUseBackslash) {
    write(buildContainer(twoSubfiles()));
    testsupport::RunResult result = run({"a.dz", "out"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"a.dz", "out"}));
    EXPECT_EQ(listDirectory(dir / "out"), (std::vector<std::string>{"boot.img", "system.img"}));
    EXPECT_EQ(readFile(dir / "out/boot.img"), "kernel");

    // A nested output directory written the Windows way; only its last level is made.
    result = run({"a.dz", "out\\sub"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile(dir / "out/sub/system.img"), "root file system");
    result = run({"a.dz", ".\\out\\sub\\"});  // a closing separator doubles up harmlessly
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(listDirectory(dir / "out/sub"), (std::vector<std::string>{"boot.img", "system.img"}));
}

TEST_F(WindowsTest, NamesTheFileSystemTakesForOneFileAreOneOutput) {
    // Names in the process's code page, UTF-8 by the program's manifest: é is C3 A9, É is C3 89.
    struct Case {
        std::string first, second;
        std::string onDisk;  // the name the joined file has, as the Linux side lists it
    };
    const Case cases[] = {
        {"boot.img", "BOOT.IMG", "boot.img"},
        {"boot.img", "boot.img.", "boot.img"},
        {"boot.img", "Boot.Img. . ", "boot.img"},
        {"\xC3\xA9t\xC3\xA9.bin", "\xC3\x89T\xC3\x89.bin", "\xC3\xA9t\xC3\xA9.bin"},
    };
    for (const Case& c : cases) {
        ContainerPlan plan;
        plan.subfiles = {{c.first, 1, "first "}, {c.second, 3, "second"}};
        write(buildContainer(plan));
        std::filesystem::remove_all(dir / "out");
        testsupport::RunResult result = run({"a.dz", "out"});
        EXPECT_EQ(result.output, opening() + status("Unpacking informations:") +
                                     unpackingLine(c.first, "first ") +
                                     unpackingLine(c.second, "second", "Merging  ") +
                                     status("SubFiles: 0x00000005. (Packsmith)") + closing())
            << c.second;
        EXPECT_EQ(result.status, 0) << c.second;
        EXPECT_EQ(listDirectory(dir / "out"), std::vector<std::string>{c.onDisk}) << c.second;
        EXPECT_EQ(readFile(dir / ("out/" + c.onDisk)), "first second") << c.second;
    }
}

TEST_F(WindowsTest, NamesInAnyScriptAreOpenedAndWrittenAsTheyAre) {
    struct Case {
        std::string container, output, subfile;
    };
    const Case cases[] = {
        // прошивка.dz into вывод/
        {"\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0.dz",
         "\xD0\xB2\xD1\x8B\xD0\xB2\xD0\xBE\xD0\xB4", "boot.img"},
        // 固件.dz into 输出/
        {"\xE5\x9B\xBA\xE4\xBB\xB6.dz", "\xE8\xBE\x93\xE5\x87\xBA", "boot.img"},
        // a sub-file named in full-width letters, ｂｏｏｔ.img, is written under that name
        {"a.dz", "out", "\xEF\xBD\x82\xEF\xBD\x8F\xEF\xBD\x8F\xEF\xBD\x94.img"},
    };
    for (const Case& c : cases) {
        ContainerPlan plan;
        plan.subfiles = {{c.subfile, 1, "kernel"}};
        write(buildContainer(plan), c.container);
        testsupport::RunResult result = run({c.container, c.output});
        EXPECT_EQ(result.output, opening(c.container) + status("Unpacking informations:") +
                                     unpackingLine(c.subfile, "kernel") +
                                     status("SubFiles: 0x00000001. (Packsmith)") +
                                     closing(c.container))
            << c.container;
        EXPECT_EQ(result.status, 0) << c.container;
        EXPECT_EQ(listDirectory(dir / c.output), std::vector<std::string>{c.subfile})
            << c.container;
        EXPECT_EQ(readFile(dir / (c.output + "/" + c.subfile)), "kernel") << c.container;
    }
}

TEST_F(WindowsTest, AFullWidthContainerNameDoesNotOpenItsAsciiLookAlike) {
    // In a code page other than UTF-8, Windows would map ｂｏｏｔ.dz to boot.dz.
    write(buildContainer(twoSubfiles()), "boot.dz");
    const std::string fullWidth = "\xEF\xBD\x82\xEF\xBD\x8F\xEF\xBD\x8F\xEF\xBD\x94.dz";
    testsupport::RunResult result = run({fullWidth, "out"});
    EXPECT_EQ(result.output, kBanner + error("Error while opening file " + fullWidth + "."));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"boot.dz"});
}

// Wine draws its console on the terminal it runs in, in that terminal's UTF-8, after changing
// the console's bytes to characters in the console's output code page. That code page is the
// locale's: 437 for C.UTF-8, where the byte 0xFE is the square, and UTF-8 for Hindi, which has
// no other; the Hindi locale is compiled here, as few machines have it.
TEST_F(WindowsTest, AConsoleShowsTheStatusSquareInEitherCodePage) {
    const std::string locales = dir / "locales";
    const std::string compile = "localedef -i hi_IN -f UTF-8 '" + locales + "/hi_IN.UTF-8'";
    std::filesystem::create_directory(locales);
    ASSERT_EQ(std::system(compile.c_str()), 0) << compile << " (the locales package)";
    write(buildContainer({}));
    for (const char* locale : {"LC_ALL=C.UTF-8", "LC_ALL=hi_IN.UTF-8"}) {
        testsupport::RunOptions options;
        options.terminal = true;
        options.environment = {locale, "LOCPATH=" + locales};
        testsupport::RunResult result = run({"-o", "a.dz"}, options);
        // Four status lines; Wine's cursor and erase sequences stand between the lines.
        std::size_t squares = 0;
        for (std::size_t at = result.output.find(" [\xE2\x96\xA0] "); at != std::string::npos;
             at = result.output.find(" [\xE2\x96\xA0] ", at + 1)) {
            ++squares;
        }
        EXPECT_EQ(squares, 4u) << locale << ": " << result.output;
        EXPECT_EQ(result.output.find("\xEF\xBF\xBD"), std::string::npos) << locale;
        EXPECT_EQ(result.status, 0) << locale;
    }
}

TEST_F(WindowsTest, AnInterruptRemovesTheTemporaryFilesAndFails) {
    ContainerPlan plan;
    // The second piece is large too: unpacking it keeps system.img's temporary file open long
    // enough for the interrupt to arrive after the first piece is written.
    plan.subfiles = {{"boot.img", 1, "kernel"},
                     {"system.img", 2, bulky(200u << 20, 's')},
                     {"system.img", 2, bulky(100u << 20, 't')}};
    for (testsupport::SubfilePlan& s : plan.subfiles) s.level = 1;
    write(buildContainer(plan));
    std::filesystem::create_directory(dir / "out");
    testsupport::writeFile(dir / "out/system.img", "earlier system");
    bool interrupted = false;
    testsupport::RunOptions options;
    options.duringRun = [&](int pid) {
        // Wine hands SIGINT to the program as Ctrl-C, here once boot.img is whole: a temporary
        // file seen before then may be boot.img's own.
        while ((interrupted = awaitTemporary(pid, dir / "out", 1)) &&
               !std::filesystem::exists(dir / "out/boot.img")) {
        }
        if (interrupted) ::kill(pid, SIGINT);
    };
    testsupport::RunResult result = run({"a.dz", "out"}, options);
    ASSERT_TRUE(interrupted) << "the run ended before it could be interrupted";
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.output.find("SubFiles:"), std::string::npos);
    EXPECT_EQ(listDirectory(dir / "out"), (std::vector<std::string>{"boot.img", "system.img"}));
    EXPECT_TRUE(holds(dir / "out/system.img", "earlier system"));
}

TEST_F(WindowsTest, NamesThatWouldLeaveTheOutputDirectoryAreRefused) {
    std::filesystem::create_directory(dir / "out");
    const std::string escape = "kestrix-escape-" + std::to_string(::getpid()) + ".img";
    const std::string names[] = {
        "..\\" + escape,
        "..\\..\\" + escape,
        "sub\\" + escape,
        "\\" + escape,
        "C:" + escape,
        "Z:\\tmp\\" + escape,
        "data:stream",
        "a.b:c",
        "NUL",
        "nul.img",
        "CON",
        "aux.txt",
        "COM1.bin",
        "lpt9",
        // What Windows cannot hold as a name of its own.
        "a?b",
        "*",
        "a<b>",
        "a|b",
        "\"quoted\"",
        "CONIN$",
        "conout$.txt",
        "CON ",
        "nul .img",
        // COM¹ and LPT³, in UTF-8 as every name here.
        "COM\xC2\xB9",
        "LPT\xC2\xB3.bin",
        "...",
        " . ",
        // Windows-1252 bytes, which are no name in the UTF-8 code page.
        "\xE9t\xE9.bin",
    };
    for (const std::string& name : names) {
        ContainerPlan plan;
        plan.subfiles = {{name, 1, "must not be written"}};
        write(buildContainer(plan));
        testsupport::RunResult result = run({"a.dz", "out"});
        EXPECT_EQ(result.output, opening() + status("Unpacking informations:") +
                                     error("Invalid file name in subfile-header.") +
                                     status("SubFiles: 0x00000000. (Packsmith)") + closing())
            << name;
        EXPECT_EQ(result.status, 1) << name;
        EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"a.dz", "out"})) << name;
        EXPECT_TRUE(listDirectory(dir / "out").empty()) << name;
        std::filesystem::path outside = std::filesystem::path(dir.path()).parent_path();
        EXPECT_FALSE(std::filesystem::exists(outside / escape)) << name;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path("/tmp") / escape)) << name;
    }
}

}  // namespace
}  // namespace e2e
