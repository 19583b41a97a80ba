// kx extract through the real program: what the names choose, the three ways with existing
// files, standard output, whole outputs only, the manifest, and the same files as kestrix.
#include <signal.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::readFile;
using Files = std::map<std::string, std::string>;

// Five entries into four outputs: a joined system image, a name cut after its extension.
ContainerPlan firmware() {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"},
                     {"system.img", 3, "system, first half; "},
                     {"amss.mbnX", 2, "modem firmware"},
                     {"system.img", 3, "system, second half"},
                     {"version.txt", 4, "v10a"}};
    plan.subfiles[1].gzip = true;
    return plan;
}

const Files kAll = {{"amss.mbn", "modem firmware"},
                    {"boot.img", "kernel"},
                    {"system.img", "system, first half; system, second half"},
                    {"version.txt", "v10a"}};

class KxExtractTest : public E2eTest {};

TEST_F(KxExtractTest, NamesChooseWholeOutputs) {
    write(buildContainer(firmware()));
    struct Case {
        std::vector<std::string> names;
        std::vector<std::string> outputs;  // of kAll
        int status;
    };
    const Case cases[] = {
        {{}, {"amss.mbn", "boot.img", "system.img", "version.txt"}, 0},
        {{"amss.mbnX"}, {"amss.mbn"}, 0},  // by stored name
        {{"amss.mbn"}, {"amss.mbn"}, 0},   // by output name
        {{"*.img"}, {"boot.img", "system.img"}, 0},
        {{"sys*", "v?rsion.[st]xt"}, {"system.img", "version.txt"}, 0},
        {{"boot.img", "nothing*"}, {}, 1},  // a name that matches nothing: nothing written
        {{"[!bsv]*"}, {"amss.mbn"}, 0},
        {{"b*ot.img", "version.txt*"}, {"boot.img", "version.txt"}, 0},  // a star of one, of none
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "out");
        std::vector<std::string> arguments = {"extract", "a.dz", "-C", "out", "-q"};
        arguments.insert(arguments.end(), c.names.begin(), c.names.end());
        testsupport::RunResult result = kx(arguments);
        EXPECT_EQ(result.status, c.status) << c.names.size() << result.errors;
        Files expected;
        for (const std::string& name : c.outputs) expected[name] = kAll.at(name);
        EXPECT_EQ(filesIn(dir / "out"), expected) << (c.names.empty() ? "all" : c.names[0]);
        if (c.status != 0) {
            EXPECT_EQ(result.errors, "kx: a.dz: nothing in it matches \"nothing*\"\n");
            EXPECT_FALSE(fs::exists(dir / "out"));
        }
    }
}

TEST_F(KxExtractTest, ExistingFilesAreRefusedReplacedOrKept) {
    write(buildContainer(firmware()));
    struct Case {
        const char* mode;  // none, --force or --keep
        int status;
        Files after;
        std::string errors;
    };
    Files kept = kAll;
    kept["boot.img"] = "earlier boot";
    const Case cases[] = {
        {nullptr,
         1,
         {{"boot.img", "earlier boot"}},
         std::string("kx: out") + testsupport::outputSeparator() +
             "boot.img: it exists (--force replaces it, --keep keeps it)\n"},
        {"--force", 0, kAll, ""},
        {"--keep", 0, kept, ""},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");
        testsupport::writeFile(dir / "out/boot.img", "earlier boot");
        std::vector<std::string> arguments = {"extract", "a.dz", "-C", "out", "-q"};
        if (c.mode != nullptr) arguments.push_back(c.mode);
        testsupport::RunResult result = kx(arguments);
        EXPECT_EQ(result.status, c.status) << (c.mode ? c.mode : "none");
        EXPECT_EQ(filesIn(dir / "out"), c.after) << (c.mode ? c.mode : "none");
        EXPECT_EQ(result.errors, c.errors);
    }
    EXPECT_EQ(kx({"extract", "a.dz", "--force", "--keep"}).status, 2);
}

TEST_F(KxExtractTest, AFileMadeAtTheNameWhileTheRunGoesOnIsReplacedOnlyWithForce) {
    const std::string large = bulky(64u << 20, 'r');
    ContainerPlan plan;
    plan.subfiles = {{"big.img", 1, large}};
    plan.subfiles[0].level = 1;
    write(buildContainer(plan));
    struct Case {
        const char* mode;  // none, --force or --keep
        int status;
        bool replaced;
        std::string line;    // on standard output
        std::string errors;  // on standard error
    };
    const std::string path = std::string("out") + testsupport::outputSeparator() + "big.img";
    const Case cases[] = {
        {nullptr, 1, false, "FAILED     big.img  it exists\n",
         "kx: " + path + ": it exists (--force replaces it, --keep keeps it)\n"},
        {"--force", 0, true, "extracted  big.img  67,108,864 bytes\n", ""},
        {"--keep", 0, false, "kept       big.img  it exists\n", ""},
    };
    for (const Case& c : cases) {
        const std::string label = c.mode != nullptr ? c.mode : "none";
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");
        // The run is stopped while its temporary file is part written, so that it cannot have
        // moved it into place yet; the file is made then, and the run goes on.
        bool made = false;
        testsupport::RunOptions options;
        options.duringRun = [&](int pid) {
            if (!awaitTemporary(pid, dir / "out", 1u << 20)) return;
            ::kill(pid, SIGSTOP);
            const std::vector<std::string> pending = temporaries(dir / "out");
            made = pending.size() == 1 && fs::file_size(dir / ("out/" + pending[0])) < large.size();
            if (made) testsupport::writeFile(dir / "out/big.img", "theirs");
            ::kill(pid, SIGCONT);
        };
        std::vector<std::string> arguments = {"extract", "a.dz", "-C", "out", "-j", "1"};
        if (c.mode != nullptr) arguments.push_back(c.mode);
        testsupport::RunResult result = kx(arguments, options);
        ASSERT_TRUE(made) << label << ": the run moved its output into place before it was stopped";
        EXPECT_EQ(result.status, c.status) << label;
        EXPECT_TRUE(holds(dir / "out/big.img", c.replaced ? large : "theirs")) << label;
        EXPECT_EQ(temporaries(dir / "out"), std::vector<std::string>{}) << label;
        EXPECT_EQ(result.output.substr(0, result.output.find('\n') + 1), c.line) << label;
        EXPECT_EQ(result.errors, c.errors) << label;
    }
}

TEST_F(KxExtractTest, StandardOutputCarriesTheOutputsInTableOrder) {
    write(buildContainer(firmware()));
    testsupport::RunResult result = kx({"extract", "a.dz", "--stdout", "system.img", "boot.img"});
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(result.output, kAll.at("boot.img") + kAll.at("system.img"));
    EXPECT_EQ(result.errors, "a.dz: OK: 2 outputs, 45 bytes, to standard output\n");
    EXPECT_EQ(testsupport::listDirectory(dir.path()), std::vector<std::string>{"a.dz"});

    // Each piece goes out once proven; a bad piece ends the stream, since what follows it would
    // land at the wrong place.
    ContainerPlan plan = firmware();
    plan.subfiles[3].packed = testsupport::deflateContent("not the content", false);
    write(buildContainer(plan));
    result = kx({"extract", "a.dz", "--stdout", "-j", "1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kAll.at("boot.img") + firmware().subfiles[1].content);
    EXPECT_NE(result.errors.find("sub-file 4 (system.img): the unpacked content does not match"),
              std::string::npos)
        << result.errors;

    if (testsupport::testingWindowsProgram()) return;  // a terminal is POSIX here
    testsupport::RunOptions terminal;
    terminal.terminal = true;
    result = kx({"extract", "a.dz", "--stdout"}, terminal);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
}

TEST_F(KxExtractTest, AFailedPieceOrAnInterruptLeavesWholeFilesOnly) {
    ContainerPlan plan = firmware();
    plan.subfiles[3].packed = testsupport::deflateContent("not the content", false);
    write(buildContainer(plan));
    fs::create_directories(dir / "out");
    testsupport::writeFile(dir / "out/system.img", "earlier system");
    testsupport::RunResult result = kx({"extract", "a.dz", "-C", "out", "--force"});
    EXPECT_EQ(result.status, 1);
    Files expected = kAll;
    expected["system.img"] = "earlier system";
    EXPECT_EQ(filesIn(dir / "out"), expected);
    EXPECT_NE(result.output.find("FAILED     system.img   sub-file 4: content-digest\n"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("a.dz: FAILED: 1 of 4 outputs failed; 3 outputs, 24 bytes, "
                                 "into out\n"),
              std::string::npos)
        << result.output;

    // Two failed pieces of one output: the first in table order is named, although its digest
    // is known only after its 8 MiB are written and the second fails at once.
    plan.subfiles = {{"system.img", 3, "x"}, {"system.img", 3, "tail"}};
    plan.subfiles[0].packed = testsupport::deflateContent(bulky(8u << 20, 'd'), false);
    plan.subfiles[1].packed = "not a stream";
    write(buildContainer(plan));
    result = kx({"extract", "a.dz", "-C", "out", "--force", "-j", "2"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("FAILED     system.img  sub-file 1: content-digest\n"),
              std::string::npos)
        << result.output;
    EXPECT_TRUE(holds(dir / "out/system.img", "earlier system"));

    // Interrupted while a large output is written: its name holds its earlier file (or, where
    // the interrupt comes late, as Wine may deliver it, its whole new content), and no
    // temporary file is left.
    const std::string large = bulky(200u << 20, 'x');
    plan.subfiles = {
        {"boot.img", 1, "kernel"}, {"system.img", 3, large}, {"system.img", 3, "tail"}};
    for (testsupport::SubfilePlan& s : plan.subfiles) s.level = 1;
    write(buildContainer(plan));
    bool interrupted = false;
    testsupport::RunOptions options;
    options.duringRun = [&](int pid) {
        interrupted = awaitTemporary(pid, dir / "out", 1u << 20);
        if (interrupted) ::kill(pid, SIGINT);
    };
    result = kx({"extract", "a.dz", "-C", "out", "--force", "-j", "1"}, options);
    ASSERT_TRUE(interrupted) << "the run ended before it could be interrupted";
    if (!testsupport::testingWindowsProgram()) {
        EXPECT_NE(result.status, 0);
    }
    EXPECT_TRUE(holds(dir / "out/system.img", "earlier system") ||
                holds(dir / "out/system.img", large + "tail"));
    EXPECT_EQ(temporaries(dir / "out"), std::vector<std::string>{});
}

TEST_F(KxExtractTest, TheManifestPlacesEveryPieceInItsFile) {
    write(buildContainer(firmware()));
    testsupport::RunResult result =
        kx({"extract", "a.dz", "-C", "deep/er/out", "--manifest", "deep/m.json", "-q"});
    ASSERT_EQ(result.status, 0) << result.errors;
    const nlohmann::json manifest = nlohmann::json::parse(readFile(dir / "deep/m.json"));
    ASSERT_EQ(manifest["entries"].size(), firmware().subfiles.size());
    for (std::size_t i = 0; i < firmware().subfiles.size(); ++i) {
        const nlohmann::json& entry = manifest["entries"][i];
        const std::string file = readFile(dir / ("deep/" + entry["file"].get<std::string>()));
        EXPECT_EQ(file.substr(entry["offset"], entry["length"]), firmware().subfiles[i].content)
            << i;
        EXPECT_EQ(entry["type"], firmware().subfiles[i].type);
        EXPECT_EQ(entry["name"]["text"], firmware().subfiles[i].name);
        EXPECT_EQ(entry["wrapper"]["format"], i == 1 ? "gzip" : "zlib");
    }
    EXPECT_EQ(manifest["container"]["creation_time_raw"], 129143443100000000ULL);
    EXPECT_EQ(manifest["container"]["phone_model"]["text"], "KX100");

    // A manifest below the output folder, or beside it, could not name the files without
    // leaving its folder.
    for (const char* beside : {"out/sub/m.json", "other/m.json"}) {
        result = kx({"extract", "a.dz", "-C", "out", "--manifest", beside});
        EXPECT_EQ(result.status, 1) << beside;
        EXPECT_FALSE(fs::exists(dir / "out")) << beside;
    }

    // A gzip header whose name runs far past the first bytes read of it.
    ContainerPlan named;
    std::string packed = testsupport::deflateContent("named", true);
    const std::string name(100 * 1024, 'n');
    packed[3] = static_cast<char>(packed[3] | 0x08);
    packed.insert(10, name + '\0');
    named.subfiles = {{"named.img", 1, "named"}};
    named.subfiles[0].packed = packed;
    write(buildContainer(named));
    result = kx({"extract", "a.dz", "-C", "named", "--manifest", "named.json", "-q"});
    ASSERT_EQ(result.status, 0) << result.errors;
    const nlohmann::json wrapper =
        nlohmann::json::parse(readFile(dir / "named.json"))["entries"][0]["wrapper"];
    EXPECT_EQ(wrapper["format"], "gzip");
    EXPECT_EQ(wrapper["name_hex"].get<std::string>().size(), 2 * name.size());
}

TEST_F(KxExtractTest, GivesTheFilesKestrixGives) {
    ContainerPlan plan = firmware();
    plan.subfiles.push_back({"empty.bin", 5, ""});
    plan.subfiles.push_back({"BOOT.IMG", 6, "same name on Windows"});
    write(buildContainer(plan));
    EXPECT_EQ(run({"a.dz", "by-kestrix"}).status, 0);
    testsupport::RunResult result = kx({"extract", "a.dz", "-C", "by-kx", "-j", "3"});
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(filesIn(dir / "by-kx"), filesIn(dir / "by-kestrix"));
    EXPECT_EQ(filesIn(dir / "by-kx").size(), testsupport::testingWindowsProgram() ? 5u : 6u);
}

TEST_F(KxExtractTest, JoinedPiecesKeepTheirPlacesWhateverTheWorkers) {
    // Two outputs hold the workers' rooms as a joined output's pieces come up. Its first piece
    // packs so small that it would look like one to put beside others, but is larger than the
    // memory shared that way (40 MiB and the largest packed sub-file); the second is small.
    // Each must still go to its place, and nothing may wait for ever.
    std::mt19937 random(3);
    const auto noise = [&](std::size_t size) {
        std::string bytes(size, '\0');
        for (char& byte : bytes) byte = static_cast<char>(random());
        return bytes;
    };
    const std::vector<std::string> pieces = {bulky(42 << 20, 'j'), noise(65536), noise(100000)};
    ContainerPlan plan;
    plan.subfiles = {{"a.img", 1, noise(1 << 20)},
                     {"joined.img", 2, pieces[0]},
                     {"joined.img", 2, pieces[1]},
                     {"b.img", 3, noise(1 << 20)},
                     {"joined.img", 2, pieces[2]}};
    write(buildContainer(plan));
    const Files expected = {{"a.img", plan.subfiles[0].content},
                            {"b.img", plan.subfiles[3].content},
                            {"joined.img", pieces[0] + pieces[1] + pieces[2]}};
    for (const char* workers : {"1", "2", "2", "3"}) {
        testsupport::RunOptions options;
        options.timeLimit = 60;
        fs::remove_all(dir / "out");
        const testsupport::RunResult result =
            kx({"extract", "a.dz", "-C", "out", "-q", "-j", workers}, options);
        ASSERT_EQ(result.status, 0) << "-j " << workers << ": " << result.errors;
        // Compared whole: a difference of 42 MiB would not print.
        EXPECT_TRUE(filesIn(dir / "out") == expected) << "-j " << workers << ": other files";
    }
}

}  // namespace
}  // namespace e2e
