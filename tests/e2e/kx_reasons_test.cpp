// What kx says when something stands in its way, through the real program: the reason of the
// call that failed (a folder, a FIFO or a device where a file should be, a file held by another
// run, a folder that cannot be made), a standard output that cannot be written, and memory that
// runs out, each on standard error, with status 1.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::buildContainer;
using testsupport::ContainerPlan;

ContainerPlan twoOutputs() {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"}, {"version.txt", 4, "v10a"}};
    return plan;
}

class KxReasonsTest : public E2eTest {};

TEST_F(KxReasonsTest, EachRefusalGivesTheReasonOfTheCallThatFailed) {
    write(buildContainer(twoOutputs()));
    ASSERT_EQ(kx({"extract", "a.dz", "-C", "files", "--manifest", "files.json", "-q"}).status, 0);
    fs::create_directory(dir / "folder.dz");
    const bool posix = !testsupport::testingWindowsProgram();
    if (posix) {
        ASSERT_EQ(::mkfifo((dir / "fifo.dz").c_str(), 0644), 0);
    }
    const char separator = testsupport::outputSeparator();
    struct Case {
        bool posixOnly;
        std::function<void()> prepare;
        std::vector<std::string> arguments;
        std::string
            errors;  // the whole of standard error, or what it starts with (a '*' at its end)
    };
    const std::string inOut = std::string("out") + separator;
    const Case cases[] = {
        {false, nullptr, {"test", "folder.dz"}, "kx: folder.dz: cannot open it: it is a folder\n"},
        {true,
         nullptr,
         {"info", "fifo.dz"},
         "kx: fifo.dz: cannot open it: it is not a regular file\n"},
        {true,
         nullptr,
         {"list", "/dev/null"},
         "kx: /dev/null: cannot open it: it is not a regular file\n"},
        {false,
         [&] { fs::create_directories(dir / "out/boot.img"); },
         {"extract", "a.dz", "-C", "out", "-q"},
         "kx: " + inOut + "boot.img: it is a folder\n"},
        {false,
         [&] { fs::create_directories(dir / "out/boot.img"); },
         {"extract", "a.dz", "-C", "out", "-q", "--force"},
         "kx: a.dz: boot.img: sub-file 1 (boot.img): it could not be written: it is a folder\n"},
        {true,
         [&] { testsupport::writeFile(dir / "out", "a file"); },
         {"extract", "a.dz", "-C", "out/deeper"},
         "kx: out/deeper: cannot make or open the folder: Not a directory\n"},
        {false,
         [&] {
             fs::create_directories(dir / "out");
             fs::copy_file(dir / "a.dz", dir / "out/boot.img");
         },
         {"extract", "out/boot.img", "-C", "out", "-q", "--force"},
         "kx: out/boot.img: boot.img: sub-file 1 (boot.img): it could not be written: it is the "
         "file being read\n"},
        {false,
         [&] { fs::create_directories(dir / "out/m.json"); },
         {"extract", "a.dz", "-C", "out", "-q", "--manifest", "out/m.json", "--force"},
         "kx: out/m.json: it is a folder\n"},
        {false,
         nullptr,
         {"pack", "folder.dz", "-o", "p.dz"},
         "kx: folder.dz: cannot read it: it is a folder\n"},
        {true,
         nullptr,
         {"pack", "fifo.dz", "-o", "p.dz"},
         "kx: fifo.dz: cannot read it: it is not a regular file\n"},
        {false,
         [&] { fs::create_directories(dir / "p.dz"); },
         {"pack", "files.json", "-o", "p.dz", "--force", "-q"},
         "kx: p.dz: it is a folder\n"},
    };
    for (const Case& c : cases) {
        const std::string label = c.arguments[0] + " " + c.arguments[1];
        if (c.posixOnly && !posix) continue;
        fs::remove_all(dir / "out");
        fs::remove_all(dir / "p.dz");
        if (c.prepare) c.prepare();
        testsupport::RunResult result = kx(c.arguments);
        EXPECT_EQ(result.status, 1) << label;
        EXPECT_EQ(result.errors, c.errors) << label;
    }
}

TEST_F(KxReasonsTest, AContainerHeldByAnotherRunOrAFolderThatCannotBeMadeIsSaidSo) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "POSIX locks and permissions";
    write(buildContainer(twoOutputs()));
    {
        const int held = ::open((dir / "a.dz").c_str(), O_RDONLY);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        testsupport::RunResult result = kx({"test", "a.dz"});
        ::close(held);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, "kx: a.dz: cannot open it: another program holds it\n");
    }
    // A parent that cannot be made: its reason, not that the folder below it is missing.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::create_directory(dir / "shut");
    fs::permissions(dir / "shut",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    testsupport::RunOptions options;
    options.unprivileged = true;
    testsupport::RunResult result = kx({"extract", "a.dz", "-C", "shut/sub/deeper"}, options);
    EXPECT_EQ(result.status, 1);
    if (::geteuid() == 0) {
        EXPECT_EQ(result.errors,
                  "kx: shut/sub/deeper: cannot make or open the folder: Permission denied\n");
    }
    EXPECT_FALSE(fs::exists(dir / "shut/sub"));
}

TEST_F(KxReasonsTest, AFailedWriteToStandardOutputFailsTheRun) {
    write(buildContainer(twoOutputs()));
    ASSERT_EQ(kx({"extract", "a.dz", "-C", "files", "--manifest", "files.json", "-q"}).status, 0);
    const bool posix = !testsupport::testingWindowsProgram();
    const std::vector<std::vector<std::string>> commands = {
        {"info", "a.dz"},
        {"list", "a.dz", "--json"},
        {"test", "a.dz"},
        {"extract", "a.dz", "-C", "out"},
        {"extract", "a.dz", "-C", "out", "--json"},
        {"pack", "files.json", "-o", "p.dz"},
        {"--version"},
    };
    struct Way {
        const char* what;
        bool posixOnly;
        std::function<void(testsupport::RunOptions&)> set;
        std::string reason;  // the system's, on POSIX
    };
    const Way ways[] = {
        {"a full disk", true, [](testsupport::RunOptions& o) { o.outputFile = "/dev/full"; },
         "No space left on device"},
        {"a closed pipe", false, [](testsupport::RunOptions& o) { o.closedOutput = true; },
         "Broken pipe"},
    };
    for (const Way& way : ways) {
        if (way.posixOnly && !posix) continue;
        for (const auto& arguments : commands) {
            const std::string label = std::string(way.what) + ": " + arguments[0];
            fs::remove_all(dir / "out");
            fs::remove_all(dir / "p.dz");
            testsupport::RunOptions options;
            way.set(options);
            testsupport::RunResult result = kx(arguments, options);
            EXPECT_EQ(result.status, 1) << label;
            // Said once, after everything else the run said, with the system's reason.
            const std::string& errors = result.errors;
            const std::size_t lastLine =
                errors.size() < 2 ? 0 : errors.rfind('\n', errors.size() - 2) + 1;
            const std::string prefix = "kx: standard output: ";
            EXPECT_EQ(errors.substr(lastLine, prefix.size()), prefix) << label << ": " << errors;
            if (posix) {
                EXPECT_EQ(errors, prefix + way.reason + "\n") << label;
            }
        }
    }
    // The bytes of --stdout that could not be written are said as the outputs that failed,
    // and only so.
    testsupport::RunOptions closed;
    closed.closedOutput = true;
    testsupport::RunResult result = kx({"extract", "a.dz", "--stdout", "-j", "1"}, closed);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors.find("kx: standard output:"), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find("it could not be written: standard output: "), std::string::npos)
        << result.errors;
}

TEST_F(KxReasonsTest, AManifestOfManyGiBIsRefusedBeforeItIsRead) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "a sparse file of 64 GiB";
    // A manifest of 64 GiB (holding no data) is refused by its size, not read into memory.
    testsupport::writeFile(dir / "huge.json", "");
    fs::resize_file(dir / "huge.json", std::uintmax_t{64} << 30);
    testsupport::RunOptions options;
    options.timeLimit = 30;
    testsupport::RunResult result = kx({"pack", "huge.json", "-o", "p.dz"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.errors,
              "kx: huge.json: not a manifest: it is 68,719,476,736 bytes long, and a manifest is "
              "at most 16,777,216\n");
    EXPECT_FALSE(fs::exists(dir / "p.dz"));
}

}  // namespace
}  // namespace e2e
