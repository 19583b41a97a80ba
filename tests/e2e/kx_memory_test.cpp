// kx test and kx extract under --memory, through the real program: a sub-file that unpacks to
// more than the bound fails with "memory" and the others are still proven and written; ones
// that fit only one at a time wait for each other; a size that is no size is a usage error.
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t kMiB = 1024 * 1024;

// Two sub-files of 20 MiB and one of 32 MiB, all packed to a few KiB, between two small ones.
testsupport::ContainerPlan bombs() {
    testsupport::ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"},
                     {"a.img", 1, std::string(20 * kMiB, 'a')},
                     {"zeros.img", 1, std::string(32 * kMiB, '\0')},
                     {"b.img", 1, std::string(20 * kMiB, 'b')},
                     {"version.txt", 4, "v10a"}};
    return plan;
}

class KxMemoryTest : public E2eTest {};

TEST_F(KxMemoryTest, TestGivesMemoryToWhatCannotFitTheBound) {
    write(testsupport::buildContainer(bombs()));
    struct Case {
        const char* memory;
        const char* jobs;
        std::vector<std::string> statuses;  // by entry
    };
    const std::vector<std::string> allGood = {"ok", "ok", "ok", "ok", "ok"};
    const std::vector<std::string> zerosShort = {"ok", "ok", "memory", "ok", "ok"};
    // Windows reads no packed data in place: zeros.img's few KiB of it count against the bound
    // beside its 32 MiB there.
    const bool packedInPlace = !testsupport::testingWindowsProgram();
    const Case cases[] = {
        {"8M", "1", {"ok", "memory", "memory", "memory", "ok"}},
        {"8M", "2", {"ok", "memory", "memory", "memory", "ok"}},
        {"24M", "2", {"ok", "ok", "memory", "ok", "ok"}},  // a.img and b.img wait for each other
        {"24MiB", "3", {"ok", "ok", "memory", "ok", "ok"}},
        {"31M", "2", {"ok", "ok", "memory", "ok", "ok"}},    // the shared room takes none of it
        {"32M", "2", packedInPlace ? allGood : zerosShort},  // exactly what zeros.img needs
        {"33m", "2", allGood},
        {"41943040", "2", allGood},  // zeros.img waits for the others
        {"1G", "4", allGood},
    };
    for (const Case& c : cases) {
        const std::string what = std::string(c.memory) + " -j " + c.jobs;
        testsupport::RunResult result =
            kx({"test", "a.dz", "--json", "--memory", c.memory, "-j", c.jobs});
        const bool good = c.statuses == allGood;
        EXPECT_EQ(result.status, good ? 0 : 1) << what << result.errors;
        const json report = json::parse(result.output);
        ASSERT_EQ(report["entries"].size(), c.statuses.size()) << what;
        for (std::size_t i = 0; i < c.statuses.size(); ++i) {
            EXPECT_EQ(report["entries"][i]["status"], c.statuses[i]) << what << " entry " << i;
        }
        EXPECT_EQ(report["ok"], good) << what;
    }

    // The line and the error of the one that could not have its memory.
    const testsupport::RunResult text = kx({"test", "a.dz", "--memory", "24M", "-j", "2"});
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.output.find("   3  zeros.img                -  memory\n"), std::string::npos)
        << text.output;
    EXPECT_EQ(text.errors,
              "kx: a.dz: sub-file 3 (zeros.img): there is not enough memory to unpack it\n");
}

TEST_F(KxMemoryTest, ExtractWritesWhatFitsTheBoundAndNothingOfTheRest) {
    const testsupport::ContainerPlan plan = bombs();
    write(testsupport::buildContainer(plan));
    std::map<std::string, std::string> all;
    for (const testsupport::SubfilePlan& subfile : plan.subfiles)
        all[subfile.name] = subfile.content;
    struct Case {
        const char* memory;
        std::vector<std::string> missing;
    };
    const Case cases[] = {
        {"24M", {"zeros.img"}},
        {"8M", {"a.img", "zeros.img", "b.img"}},
        {"40M", {}},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "out");
        const testsupport::RunResult result =
            kx({"extract", "a.dz", "-C", "out", "-q", "-j", "2", "--memory", c.memory});
        EXPECT_EQ(result.status, c.missing.empty() ? 0 : 1) << c.memory << result.errors;
        std::map<std::string, std::string> expected = all;
        for (const std::string& name : c.missing) expected.erase(name);
        const std::map<std::string, std::string> files = filesIn(dir / "out");
        EXPECT_EQ(files.size(), expected.size()) << c.memory;  // no temporaries left either
        for (const auto& [name, content] : expected) {
            EXPECT_TRUE(holds(dir / ("out/" + name), content)) << c.memory;
        }
    }

    // To standard output, one worker: the outputs up to the first that fails.
    const testsupport::RunResult streamed =
        kx({"extract", "a.dz", "--stdout", "-q", "-j", "1", "--memory", "24M"});
    EXPECT_EQ(streamed.status, 1);
    EXPECT_EQ(streamed.output.size(), 6 + 20 * kMiB);
    const testsupport::RunResult whole =
        kx({"extract", "a.dz", "--stdout", "-q", "-j", "1", "--memory", "40M"});
    EXPECT_EQ(whole.status, 0) << whole.errors;
    EXPECT_EQ(whole.output.size(), 6 + 72 * kMiB + 4);
}

TEST_F(KxMemoryTest, ASizeThatIsNoSizeIsAUsageError) {
    write(testsupport::buildContainer(bombs()));
    const std::vector<std::vector<std::string>> runs = {
        {"test", "a.dz", "--memory", "8X"},
        {"test", "a.dz", "--memory", "0"},
        {"test", "a.dz", "--memory", "1.5G"},
        {"test", "a.dz", "--memory", ""},
        {"test", "a.dz", "--memory"},
        {"extract", "a.dz", "-C", "out", "--memory", "-8M"},
        {"pack", "m.json", "-o", "b.dz", "--memory", "8 M"},
        {"info", "a.dz", "--memory", "8M"},  // info reads no sub-file
    };
    for (const std::vector<std::string>& arguments : runs) {
        const testsupport::RunResult result = kx(arguments);
        EXPECT_EQ(result.status, 2) << arguments.back();
        EXPECT_EQ(result.output, "") << arguments.back();
        EXPECT_EQ(result.errors.rfind("kx: usage: ", 0), 0u) << result.errors;
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists(dir / "b.dz"));
}

}  // namespace
}  // namespace e2e
