// Whole files or nothing, through the real program: whatever happens during a run (a signal, a
// failed piece, a full disk, a failed close, a swapped folder, a closed pipe), every name in the
// output folder holds what it held before or its whole new content, links and special files
// there are replaced rather than written through, and nothing outside the folder changes.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::readFile;
using testsupport::SubfilePlan;

// The container every interruption runs on: small outputs first, then a joined output whose
// first piece is large, so that a run spends most of its time writing it.
const ContainerPlan& bigPlan() {
    static const ContainerPlan plan = [] {
        ContainerPlan p;
        p.subfiles = {{"boot.img", 1, "new boot"},
                      {"modem.bin", 2, "new modem"},
                      {"fifo.bin", 3, "new fifo"},
                      {"system.img", 4, bulky(96u << 20, 'a')},
                      {"system.img", 4, bulky(32u << 20, 'b')}};
        for (SubfilePlan& s : p.subfiles) s.level = 1;
        return p;
    }();
    return plan;
}

const testsupport::ContainerImage& bigImage() {
    static const testsupport::ContainerImage image = buildContainer(bigPlan());
    return image;
}

// What a name in the folder holds: its bytes, or what kind of special entry it is.
std::string entryOf(const fs::path& path) {
    const fs::file_status status = fs::symlink_status(path);
    if (fs::is_symlink(status)) return "link to " + fs::read_symlink(path).string();
    if (fs::is_fifo(status)) return "fifo";
    if (!fs::exists(status)) return "missing";
    return readFile(path.string());
}

// A folder prepared with earlier outputs: a file, a hard link and a symbolic link to files
// outside it, and a FIFO, each at a name the container writes.
class WholeFilesTest : public E2eTest {
  protected:
    void prepareFolder() {
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");
        testsupport::writeFile(dir / "out/system.img", "earlier system");
        testsupport::writeFile(dir / "hard.txt", "outside, hard-linked");
        fs::create_hard_link(dir / "hard.txt", dir / "out/boot.img");
        testsupport::writeFile(dir / "soft.txt", "outside, linked");
        fs::create_symlink(dir / "soft.txt", dir / "out/modem.bin");
        ASSERT_EQ(::mkfifo((dir / "out/fifo.bin").c_str(), 0644), 0);
        before = snapshot();
    }

    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> entries;
        for (const char* name : {"boot.img", "modem.bin", "fifo.bin", "system.img"}) {
            entries[name] = entryOf(dir / (std::string("out/") + name));
        }
        entries["hard.txt"] = readFile(dir / "hard.txt");
        entries["soft.txt"] = readFile(dir / "soft.txt");
        return entries;
    }

    // Every name holds its earlier entry or its whole new content; the files outside the folder
    // are as they were; no temporary file is left unless `temporariesAllowed`.
    void expectWhole(const std::string& what, bool temporariesAllowed = false) const {
        std::map<std::string, std::string> now = snapshot();
        std::map<std::string, std::string> whole;
        for (const SubfilePlan& s : bigPlan().subfiles) whole[s.name] += s.content;
        for (const auto& [name, content] : whole) {
            EXPECT_TRUE(now[name] == before.at(name) || now[name] == content)
                << what << ": " << name << " holds neither its earlier nor its new content ("
                << now[name].size() << " bytes)";
        }
        EXPECT_EQ(now["hard.txt"], before.at("hard.txt")) << what;
        EXPECT_EQ(now["soft.txt"], before.at("soft.txt")) << what;
        if (!temporariesAllowed) {
            EXPECT_EQ(temporaries(dir / "out"), std::vector<std::string>{}) << what;
        }
        for (const std::string& name : testsupport::listDirectory(dir.path())) {
            EXPECT_TRUE(name == "a.dz" || name == "out" || name == "hard.txt" || name == "soft.txt")
                << what << ": " << name << " appeared outside the output folder";
        }
    }

    std::map<std::string, std::string> before;
};

TEST_F(WholeFilesTest, ReplacesLinksAndSpecialFilesInsteadOfWritingThroughThem) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "links and FIFOs are POSIX here";
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "new boot"},
                     {"modem.bin", 2, "new modem"},
                     {"fifo.bin", 3, "new fifo"},
                     {"system.img", 4, "new system, "},
                     {"system.img", 4, "joined"}};
    write(buildContainer(plan));
    prepareFolder();
    testsupport::RunResult result = run({"a.dz", "out"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(snapshot(), (std::map<std::string, std::string>{{"boot.img", "new boot"},
                                                              {"modem.bin", "new modem"},
                                                              {"fifo.bin", "new fifo"},
                                                              {"system.img", "new system, joined"},
                                                              {"hard.txt", "outside, hard-linked"},
                                                              {"soft.txt", "outside, linked"}}));
    EXPECT_EQ(temporaries(dir / "out"), std::vector<std::string>{});
}

TEST_F(WholeFilesTest, AnInterruptedRunLeavesOnlyWholeFiles) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "POSIX signals";
    write(bigImage());
    const std::uintmax_t firstPiece = bigPlan().subfiles[3].content.size();
    struct Point {
        const char* what;
        std::uintmax_t bytes;  // interrupt once a temporary file holds this many bytes
    };
    const Point points[] = {
        {"first bytes of the large piece", 1},
        {"half of the large piece", firstPiece / 2},
        {"the joined piece", firstPiece + 1},
    };
    int interruptions = 0;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        for (const Point& point : points) {
            const std::string what = std::string(strsignal(signalNumber)) + " at " + point.what;
            prepareFolder();
            bool interrupted = false;
            testsupport::RunOptions options;
            options.duringRun = [&](int pid) {
                interrupted = awaitTemporary(pid, dir / "out", point.bytes);
                if (interrupted) ::kill(pid, signalNumber);
            };
            testsupport::RunResult result = run({"a.dz", "out"}, options);
            if (!interrupted || (result.signal == 0 && result.status == 0)) {
                // The run ended before the point was reached, or before the signal came: it
                // must then have done it all.
                EXPECT_EQ(result.status, 0) << what;
                expectWhole(what);
                continue;
            }
            ++interruptions;
            EXPECT_EQ(result.signal, signalNumber) << what << ": the program did not die by it";
            expectWhole(what, /*temporariesAllowed=*/signalNumber == SIGKILL);
        }
    }
    // Runs too quick to interrupt prove nothing: most points must have been reached.
    EXPECT_GE(interruptions, 9);
}

TEST_F(WholeFilesTest, AFailedWriteKeepsEveryEarlierFile) {
    if (testsupport::testingWindowsProgram())
        GTEST_SKIP() << "file size limits and mounts are POSIX";
    write(bigImage());
    // A file size limit below the large piece: an ordinary write error, not a killed process.
    prepareFolder();
    testsupport::RunOptions limited;
    limited.fileSizeLimit = 64u << 20;
    testsupport::RunResult result = run({"a.dz", "out"}, limited);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find(error("Error while writing \"system.img\".")), std::string::npos)
        << result.output;
    expectWhole("file size limit");
    EXPECT_TRUE(holds(dir / "out/system.img", "earlier system"));
    EXPECT_EQ(entryOf(dir / "out/boot.img"), "new boot");

    // A full file system, where one can be had: a small tmpfs as the output folder's parent.
    fs::create_directory(dir / "full");
    if (::geteuid() != 0 || ::mount("tmpfs", (dir / "full").c_str(), "tmpfs", 0, "size=32m") != 0) {
        GTEST_SKIP() << "a full file system needs a tmpfs mount (run as root)";
    }
    testsupport::writeFile(dir / "full/system.img", "earlier system");
    result = run({"a.dz", "full"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find(error("Error while writing \"system.img\".")), std::string::npos)
        << result.output;
    EXPECT_TRUE(holds(dir / "full/system.img", "earlier system"));
    EXPECT_EQ(readFile(dir / "full/boot.img"), "new boot");
    EXPECT_EQ(temporaries(dir / "full"), std::vector<std::string>{});
    ::umount((dir / "full").c_str());
}

TEST_F(WholeFilesTest, AFailedCloseMovesNothingIntoPlace) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "the close is replaced on POSIX";
    write(bigImage());
    // The file system reports at the close that it could not store the temporary file.
    testsupport::RunOptions failing;
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    failing.environment = {std::string("LD_PRELOAD=") + KESTRIX_FAILING_CLOSE,
                           std::string("ASAN_OPTIONS=") + (sanitizer != nullptr ? sanitizer : "") +
                               ":verify_asan_link_order=0"};
    struct Case {
        const char* program;
        std::string stem;
        std::string says;
    };
    for (const Case& c : {Case{"kestrix", ".kestrix-", error("Error while writing \"boot.img\".")},
                          Case{"kx", ".kx-", "FAILED     boot.img"}}) {
        prepareFolder();
        failing.environment.resize(2);
        failing.environment.push_back("KESTRIX_TEST_FAILING_CLOSE=" + c.stem);
        const testsupport::RunResult result =
            c.program == std::string("kx")
                ? kx({"extract", "a.dz", "-C", "out", "--force"}, failing)
                : run({"a.dz", "out"}, failing);
        EXPECT_EQ(result.status, 1) << c.program;
        EXPECT_NE(result.output.find(c.says), std::string::npos) << c.program << result.output;
        expectWhole(std::string("a failed close in ") + c.program);
        const std::map<std::string, std::string> now = snapshot();
        for (const auto& [name, entry] : before)
            EXPECT_TRUE(now.at(name) == entry) << c.program << ": " << name << " changed";
    }
}

TEST_F(WholeFilesTest, AFailingLaterPieceLeavesTheEarlierFileUntouched) {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "new boot"},
                     {"system.img", 3, "new first half, "},
                     {"system.img", 3, "new second half"}};
    SubfilePlan damagedStream = plan.subfiles[2];
    damagedStream.packed = testsupport::deflateContent("new second half", false);
    (*damagedStream.packed)[4] ^= 0x55;
    SubfilePlan wrongContent = plan.subfiles[2];
    wrongContent.packed = testsupport::deflateContent("something else", false);
    struct Case {
        const char* what;
        SubfilePlan second;
        std::string line;
    };
    const Case cases[] = {
        {"content digest", wrongContent, error("Invalid MD5 hash in file \"system.img\".")},
        {"damaged stream", damagedStream, error("Error while unpacking \"system.img\".")},
    };
    for (const Case& c : cases) {
        ContainerPlan failing = plan;
        failing.subfiles[2] = c.second;
        write(buildContainer(failing));
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");
        testsupport::writeFile(dir / "out/system.img", "earlier, complete system");
        testsupport::RunResult result = run({"a.dz", "out"});
        EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) +
                                     unpacking(plan.subfiles[1]) + c.line + summary(0x5) +
                                     closing())
            << c.what;
        EXPECT_EQ(result.status, 1) << c.what;
        EXPECT_EQ(readFile(dir / "out/system.img"), "earlier, complete system") << c.what;
        EXPECT_EQ(readFile(dir / "out/boot.img"), "new boot") << c.what;
        EXPECT_EQ(testsupport::listDirectory(dir / "out"),
                  (std::vector<std::string>{"boot.img", "system.img"}))
            << c.what;
    }
}

TEST_F(WholeFilesTest, OverlappingSubfilesStopWithTheOffsetError) {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel and ramdisk"}, {"system.img", 2, "system"}};
    const testsupport::ContainerImage image = buildContainer(plan);
    const auto boot = static_cast<std::uint32_t>(image.subfileAt[0]);
    const auto system = static_cast<std::uint32_t>(image.subfileAt[1]);
    // A packed size that runs on into the next sub-file: the first still unpacks (bytes after
    // its stream are ignored), and the next one overlaps it.
    ContainerPlan runsOn = plan;
    runsOn.subfiles[0].packed = testsupport::deflateContent("kernel and ramdisk", false);
    runsOn.subfiles[0].packedSize = system - boot - 196 + 1;
    struct Case {
        const char* what;
        ContainerPlan plan;
        std::string lines;
    };
    std::vector<Case> cases = {
        {"the same offset twice", plan,
         unpacking(plan.subfiles[0]) + unpacking(plan.subfiles[1]) +
             error("Invalid offset in offset-table.") + summary(0x3)},
        {"the same sub-file under another type", plan,
         unpacking(plan.subfiles[1]) + error("Invalid offset in offset-table.") + summary(0x2)},
        {"a packed size that runs into the next sub-file", runsOn,
         unpacking(runsOn.subfiles[0]) + error("Invalid offset in offset-table.") + summary(0x1)},
    };
    cases[0].plan.entries = {{1, boot}, {2, system}, {3, boot}};
    cases[1].plan.entries = {{2, system}, {1, system}};
    for (const Case& c : cases) {
        write(buildContainer(c.plan));
        fs::remove_all(dir / "out");
        testsupport::RunResult result = run({"a.dz", "out"});
        EXPECT_EQ(result.output, opening() + heading() + c.lines + closing()) << c.what;
        EXPECT_EQ(result.status, 1) << c.what;
    }
}

TEST_F(WholeFilesTest, AContainerThatIsNoRegularFileIsRefusedWithoutWaiting) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "FIFOs are POSIX";
    ASSERT_EQ(::mkfifo((dir / "a.dz").c_str(), 0644), 0);
    testsupport::RunOptions options;
    options.timeLimit = 20;  // a run that waited for a writer would end by the alarm
    for (const std::string path : {"a.dz", "/dev/null", "/dev/zero"}) {
        testsupport::RunResult result = run({path}, options);
        EXPECT_EQ(result.output, kBanner + error("Error while opening file " + path + "."));
        EXPECT_EQ(result.status, 1) << path;
    }
}

TEST_F(WholeFilesTest, ASwappedOutputFolderDoesNotRedirectWrites) {
    if (testsupport::testingWindowsProgram())
        GTEST_SKIP() << "renaming a held folder is refused on Windows";
    write(bigImage());
    fs::create_directory(dir / "elsewhere");
    fs::create_directory(dir / "out");
    bool swapped = false;
    testsupport::RunOptions options;
    options.duringRun = [&](int pid) {
        // Once the large piece is being written, the folder moves and a link takes its place.
        if (!awaitTemporary(pid, dir / "out", 1)) return;
        fs::rename(dir / "out", dir / "moved");
        fs::create_directory_symlink(dir / "elsewhere", dir / "out");
        swapped = true;
    };
    testsupport::RunResult result = run({"a.dz", "out"}, options);
    ASSERT_TRUE(swapped) << "the run ended before the folder could be swapped";
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(testsupport::listDirectory(dir / "elsewhere"), std::vector<std::string>{});
    EXPECT_EQ(testsupport::listDirectory(dir / "moved"),
              (std::vector<std::string>{"boot.img", "fifo.bin", "modem.bin", "system.img"}));
    EXPECT_EQ(fs::file_size(dir / "moved/system.img"),
              bigPlan().subfiles[3].content.size() + bigPlan().subfiles[4].content.size());
}

TEST_F(WholeFilesTest, AClosedOutputPipeDoesNotStopTheExtraction) {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"}, {"system.img", 2, "system"}};
    write(buildContainer(plan));
    testsupport::RunOptions options;
    options.closedOutput = true;
    testsupport::RunResult result = run({"a.dz", "out"}, options);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile(dir / "out/boot.img"), "kernel");
    EXPECT_EQ(readFile(dir / "out/system.img"), "system");
}

}  // namespace
}  // namespace e2e
