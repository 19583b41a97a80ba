// Extraction through the real program: output files byte for byte, joining, every failure.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::SubfilePlan;
using Files = std::vector<std::string>;

// Holds an exclusive advisory lock on a file, as a running Kestrix does on its container.
class HeldLock {
  public:
    explicit HeldLock(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
    }
    ~HeldLock() { ::close(fd_); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

  private:
    int fd_;
};

class ExtractTest : public E2eTest {
  protected:
    testsupport::RunResult extract(const ContainerPlan& plan,
                                   std::vector<std::string> arguments = {"a.dz", "out"}) {
        write(buildContainer(plan));
        return run(arguments);
    }
    std::string out(const std::string& name) {
        return testsupport::readFile(dir / ("out/" + name));
    }
};

TEST_F(ExtractTest, JoinsByOutputPathInTableOrder) {
    ContainerPlan plan;
    plan.subfiles = {{"system.img", 3, "first part|"},
                     {"boot.img", 1, "kernel"},
                     {"system.img", 3, "second part|"},
                     {"system.img", 7, "third, other type"},
                     {"modem.bin", 3, "same type, own file"}};
    plan.subfiles[2].gzip = true;
    testsupport::RunResult result = extract(plan);
    EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) +
                                 unpacking(plan.subfiles[1]) + merging(plan.subfiles[2]) +
                                 merging(plan.subfiles[3]) + unpacking(plan.subfiles[4]) +
                                 summary(0x45) + closing());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testsupport::listDirectory(dir / "out"),
              (Files{"boot.img", "modem.bin", "system.img"}));
    EXPECT_EQ(out("system.img"), "first part|second part|third, other type");
    EXPECT_EQ(out("boot.img"), "kernel");
    EXPECT_EQ(out("modem.bin"), "same type, own file");
}

TEST_F(ExtractTest, AFileLeftByAnEarlierRunIsReplacedNotAppendedTo) {
    std::filesystem::create_directory(dir / "out");
    testsupport::writeFile(dir / "out/system.img", "stale bytes from before");
    ContainerPlan plan;
    plan.subfiles = {{"system.img", 3, "new"}, {"system.img", 3, " and more"}};
    EXPECT_EQ(extract(plan).status, 0);
    EXPECT_EQ(out("system.img"), "new and more");
}

TEST_F(ExtractTest, SummaryMaskOfWrittenTypes) {
    struct Case {
        std::vector<std::uint32_t> types;
        std::uint32_t mask;
    };
    const Case cases[] = {
        {{3, 3}, 0x00000004},
        {{1, 31}, 0x40000001},
        {{32}, 0x80000000},
        {{0, 33, 0x1234}, 0},
        {{}, 0},
        {{2, 1, 2}, 0x00000003},
    };
    for (const Case& c : cases) {
        ContainerPlan plan;
        for (std::size_t i = 0; i < c.types.size(); ++i) {
            plan.subfiles.push_back({"file" + std::to_string(i), c.types[i], "x"});
        }
        std::filesystem::remove_all(dir / "out");
        testsupport::RunResult result = extract(plan);
        EXPECT_NE(result.output.find(summary(c.mask)), std::string::npos) << c.mask;
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(ExtractTest, NamesAreCutAfterTheExtension) {
    ContainerPlan plan;
    plan.subfiles = {{"amss.mbnX", 1, "amss"},
                     {"boot.img", 2, "boot"},
                     {"modem", 3, "modem"},
                     {"a.b.cdefg", 4, "dots"},
                     {std::string(144, 'n'), 5, "no zero"}};
    testsupport::RunResult result = extract(plan, {"a.dz"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(testsupport::readFile(dir / "amss.mbn"), "amss");
    EXPECT_EQ(testsupport::readFile(dir / "boot.img"), "boot");
    EXPECT_EQ(testsupport::readFile(dir / "modem"), "modem");
    EXPECT_EQ(testsupport::readFile(dir / "a.b.cde"), "dots");
    EXPECT_EQ(testsupport::readFile(dir / std::string(144, 'n')), "no zero");
    // Messages name the sub-file as its header does.
    EXPECT_NE(result.output.find("\"amss.mbnX\""), std::string::npos);

    // An empty output argument is the current directory, as when none is given.
    std::filesystem::remove(dir / "modem");
    result = extract(plan, {"a.dz", ""});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testsupport::readFile(dir / "modem"), "modem");
}

TEST_F(ExtractTest, NamesThatCouldLeaveTheOutputDirectoryAreRefused) {
    const std::vector<std::string> names = {
        "",     ".",      "..",      "../escape", "..\\escape", "a/b",     "/etc/x",     "c:escape",
        "C:",   "x\x01y", "del\x7f", "CON",       "con.txt",    "Aux.bin", "NUL",        "prn.img",
        "COM1", "lpt9.x", "LPT5",    "./.",       "sub/x.img",  "sub/..",  "nul.tar.gz",
    };
    for (const std::string& name : names) {
        ContainerPlan plan;
        plan.subfiles = {{"first.img", 1, "kept"}, {name, 2, "must not appear"}};
        std::filesystem::remove_all(dir / "out");
        testsupport::RunResult result = extract(plan);
        EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) +
                                     error("Invalid file name in subfile-header.") + summary(1) +
                                     closing())
            << name;
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(testsupport::listDirectory(dir / "out"), Files{"first.img"}) << name;
        EXPECT_EQ(testsupport::listDirectory(dir.path()), (Files{"a.dz", "out"})) << name;
    }
    // Names that only look alike are fine.
    for (const std::string name : {"CONSOLE", "COM0", "LPT10", "con_", "a..b", ".hidden", "..x"}) {
        ContainerPlan plan;
        plan.subfiles = {{name, 1, "ok"}};
        std::filesystem::remove_all(dir / "out");
        testsupport::RunResult result = extract(plan);
        EXPECT_EQ(result.status, 0) << name << result.output;
    }
}

TEST_F(ExtractTest, OutputPathsMustFitTheirBuffer) {
    // prefix "d...d/" of 115 bytes + a 144-byte name: 259 characters fit, one more does not.
    const std::string directory(114, 'd');
    ContainerPlan plan;
    plan.subfiles = {{std::string(144, 'f'), 1, "fits"}};
    testsupport::RunResult result = extract(plan, {"a.dz", directory});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(testsupport::readFile(dir / (directory + "/" + std::string(144, 'f'))), "fits");

    // One character more; a folder of 258 characters, which leaves room for the separator and
    // the end of the path but for no name; and one of 259, which leaves room for neither.
    std::filesystem::create_directory(dir / std::string(200, 'p'));
    for (const std::string& longer :
         {directory + "d", std::string(200, 'p') + "/" + std::string(58, 'q'),
          std::string(200, 'p') + "/" + std::string(57, 'q')}) {
        std::filesystem::remove_all(dir / directory);
        result = extract(plan, {"a.dz", longer});
        EXPECT_EQ(result.output, opening() + heading() +
                                     error("Invalid file name in subfile-header.") + summary(0) +
                                     closing())
            << longer.size();
        EXPECT_EQ(result.status, 1);
    }
}

TEST_F(ExtractTest, WorkingSizeBoundsTheUnpackedSize) {
    const std::string program = dir / testsupport::programFileName();
    std::filesystem::copy_file(testsupport::programUnderTest(), program);
    testsupport::writeFile(dir / testsupport::settingsFileName(), "[main]\nworkmem=1\n");
    testsupport::RunOptions options;
    options.program = program;

    ContainerPlan plan;
    plan.subfiles = {{"exact.bin", 1, std::string(1 << 20, 'e')},
                     {"over.bin", 2, std::string((1 << 20) + 1, 'o')},
                     {"never.bin", 3, "not reached"}};
    write(buildContainer(plan));
    testsupport::RunResult result = run({"a.dz", "out"}, options);
    EXPECT_EQ(result.output, opening("a.dz", 1) + heading() + unpacking(plan.subfiles[0]) +
                                 error("Error while unpacking \"over.bin\".") + summary(1) +
                                 closing());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(out("exact.bin"), plan.subfiles[0].content);
    EXPECT_EQ(testsupport::listDirectory(dir / "out"), Files{"exact.bin"});
}

TEST_F(ExtractTest, StopsAtTheFirstBadSubfile) {
    struct Case {
        const char* what;
        SubfilePlan bad;
        std::string line;
    };
    auto with = [](auto change) {
        SubfilePlan s{"bad.img", 2, "bad content"};
        change(s);
        return s;
    };
    std::string stream = testsupport::deflateContent("bad content", false);
    std::string flipped = stream;
    flipped[flipped.size() / 2] ^= 0x10;
    const Case cases[] = {
        {"damaged stream", with([&](SubfilePlan& s) { s.packed = flipped; }),
         error("Error while unpacking \"bad.img\".")},
        {"cut stream",
         with([&](SubfilePlan& s) { s.packed = stream.substr(0, stream.size() - 3); }),
         error("Error while unpacking \"bad.img\".")},
        {"no wrapper", with([&](SubfilePlan& s) { s.packed = stream.substr(2); }),
         error("Error while unpacking \"bad.img\".")},
        {"packed size past the end of the file", with([&](SubfilePlan& s) {
             s.packed = stream.substr(0, 4);
             s.packedSize = 0x10000000;
         }),
         error("Error while unpacking \"bad.img\".")},
        {"packed size zero", with([&](SubfilePlan& s) {
             s.packed = stream;
             s.packedSize = 0;
         }),
         error("Unable to allocate memory for packed file.")},
        {"content digest",
         with([&](SubfilePlan& s) { s.packed = testsupport::deflateContent("bad kontent", true); }),
         error("Invalid MD5 hash in file \"bad.img\".")},
    };
    for (const Case& c : cases) {
        ContainerPlan plan;
        plan.subfiles = {{"good.img", 1, "good"}, c.bad, {"later.img", 3, "never"}};
        std::filesystem::remove_all(dir / "out");
        testsupport::RunResult result = extract(plan);
        EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) + c.line +
                                     summary(1) + closing())
            << c.what;
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(testsupport::listDirectory(dir / "out"), Files{"good.img"}) << c.what;
        EXPECT_EQ(out("good.img"), "good");
    }
}

TEST_F(ExtractTest, BytesPastTheEndReadAsZerosNotAsTheSubfileBefore) {
    // The last sub-file's packed size runs past the end of the file, so its stream (one stored
    // block) lacks its end, and fails. The sub-file before it holds the same stream whole: the
    // bytes it left in memory must not stand in for those missing.
    constexpr std::size_t kCut = 100;  // the last sub-file holds the stream's first kCut bytes
    const auto storedStream = [](const std::string& content) {
        const auto length = static_cast<std::uint16_t>(content.size());
        std::string stream = {'\x78', '\x01', '\x01'};  // zlib header, final stored block
        for (const std::uint16_t half : {length, static_cast<std::uint16_t>(~length)}) {
            stream += static_cast<char>(half & 0xFF);
            stream += static_cast<char>(half >> 8);
        }
        stream += content;
        const uLong check =
            adler32(1, reinterpret_cast<const Bytef*>(content.data()), content.size());
        for (int shift = 24; shift >= 0; shift -= 8) stream += static_cast<char>(check >> shift);
        return stream;
    };
    std::string content(1000, 'c');
    ContainerPlan plan;
    const auto build = [&] {
        const std::string stream = storedStream(content);
        plan.subfiles = {{"whole.img", 1, content}, {"cut.img", 2, content}};
        plan.subfiles[0].packed = stream;
        plan.subfiles[1].packed = stream.substr(0, kCut);
        plan.subfiles[1].packedSize = static_cast<std::uint32_t>(stream.size());
        return buildContainer(plan).flat();
    };
    // The table (48 bytes) follows the cut: the content takes its bytes where the stream goes
    // on, so that only what lies past the end is missing.
    std::string bytes = build();
    const std::string table = bytes.substr(bytes.size() - 48);
    content.replace(kCut - 7, table.size(), table);
    bytes = build();
    ASSERT_EQ(bytes.substr(bytes.size() - kCut - 48), storedStream(content).substr(0, kCut + 48));
    write(bytes);
    const testsupport::RunResult result = run({"a.dz", "out"});
    EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) +
                                 error("Error while unpacking \"cut.img\".") + summary(1) +
                                 closing());
    EXPECT_EQ(result.status, 1);
}

TEST_F(ExtractTest, EmptyContentMakesAnEmptyFile) {
    ContainerPlan plan;
    plan.subfiles = {{"empty.bin", 1, ""}, {"empty.bin", 1, ""}};
    testsupport::RunResult result = extract(plan);
    EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) +
                                 merging(plan.subfiles[1]) + summary(1) + closing());
    EXPECT_TRUE(std::filesystem::exists(dir / "out/empty.bin"));
    EXPECT_EQ(out("empty.bin"), "");
}

TEST_F(ExtractTest, OutputThatCannotBeWrittenStopsWithAnError) {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"}};
    const std::string expected = opening() + heading() + unpacking(plan.subfiles[0]) +
                                 error("Error while writing \"boot.img\".") + summary(0) +
                                 closing();

    write(std::string("a plain file"), "out");  // where the output folder should be
    testsupport::RunResult result = extract(plan, {"a.dz", "out"});
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.status, 1);

    result = extract(plan, {"a.dz", "missing/out"});  // created one level deep only
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));

    std::filesystem::remove(dir / "out");
    std::filesystem::create_directories(dir / "out/boot.img");  // a folder where the file goes
    result = extract(plan, {"a.dz", "out"});
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.status, 1);
}

TEST_F(ExtractTest, AFailedWriteLeavesNoPartialFile) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "file size limits are POSIX";
    // The limit lets the first file through whole, then fails the second mid-file, and then
    // an append to the first that would grow it past the limit.
    ContainerPlan plan;
    plan.subfiles = {{"first.bin", 1, std::string(40000, 'a')},
                     {"second.bin", 2, std::string(200000, 'b')}};
    testsupport::RunOptions options;
    options.fileSizeLimit = 100000;
    write(buildContainer(plan));
    testsupport::RunResult result = run({"a.dz", "out"}, options);
    EXPECT_EQ(result.output,
              opening() + heading() + unpacking(plan.subfiles[0]) + unpacking(plan.subfiles[1]) +
                  error("Error while writing \"second.bin\".") + summary(1) + closing());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(testsupport::listDirectory(dir / "out"), Files{"first.bin"});
    EXPECT_EQ(out("first.bin"), plan.subfiles[0].content);

    // A joined output whose second piece cannot be written is not written at all.
    plan.subfiles[1] = {"first.bin", 1, std::string(70000, 'c')};
    std::filesystem::remove_all(dir / "out");
    write(buildContainer(plan));
    result = run({"a.dz", "out"}, options);
    EXPECT_EQ(result.output,
              opening() + heading() + unpacking(plan.subfiles[0]) + merging(plan.subfiles[1]) +
                  error("Error while writing \"first.bin\".") + summary(1) + closing());
    EXPECT_EQ(testsupport::listDirectory(dir / "out"), Files{});
}

TEST_F(ExtractTest, ASecondRunOnALockedContainerIsRefused) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "covered by the Windows cases";
    write(buildContainer({}));
    testsupport::RunResult result;
    {
        HeldLock lock(dir / "a.dz");
        result = run({"a.dz"});
    }
    EXPECT_EQ(result.output, kBanner + error("Error while opening file a.dz."));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(run({"a.dz"}).status, 0);
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

TEST_F(ExtractTest, TheContainerItselfIsNeverWrittenOver) {
    ContainerPlan plan;
    plan.subfiles = {{"a.dz", 1, "would destroy the container"}};
    write(buildContainer(plan));
    const std::string before = testsupport::readFile(dir / "a.dz");
    testsupport::RunResult result = run({"a.dz"});
    EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) +
                                 error("Error while writing \"a.dz\".") + summary(0) + closing());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(testsupport::readFile(dir / "a.dz"), before);
}

}  // namespace
}  // namespace e2e
