// The header and offset-table reports, byte for byte.
#include <filesystem>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using testsupport::buildContainer;
using testsupport::ContainerPlan;

// Two hours east of UTC, with no daylight-saving time.
const std::string kTwoHoursEast = "TZ=KXT-2";

testsupport::RunOptions inZone(const std::string& zone) {
    testsupport::RunOptions options;
    options.environment = {zone};
    return options;
}

std::string headerReport(const std::string& model, const std::string& internal,
                         const std::string& time, const std::string& chip, const std::string& file,
                         const std::string& count, const std::string& version = "2") {
    return status("Main header informations:") +
           detail("     - DZ Version    : v" + version + ".") +
           detail("     - Phone Model   : " + model + ".") +
           detail("     - Internal name : " + internal + ".") +
           detail("     - Creation time : " + time + ".") +
           detail("     - Chip          : " + chip + ".") +
           detail("     - Filename      : " + file + ".") +
           detail("     - Subfiles      : " + count + ".");
}

using ReportTest = E2eTest;

TEST_F(ReportTest, MainHeaderInLocalTime) {
    write(buildContainer({}));
    testsupport::RunResult result = run({"-h", "a.dz"}, inZone(kTwoHoursEast));
    EXPECT_EQ(result.output,
              opening() +
                  headerReport("KX100", "KX100AT-00-V10a-EUR-XX", "2010-03-29 15:51:50", "QSD8650",
                               "KX100AT-00-V10a.dz", "00") +
                  closing());
    EXPECT_EQ(result.status, 0);

    result = run({"-h", "a.dz"}, inZone("TZ=UTC0"));
    EXPECT_NE(result.output.find("Creation time : 2010-03-29 13:51:50."), std::string::npos);
}

TEST_F(ReportTest, MainHeaderFieldsAreReadWithinTheirWidth) {
    struct Case {
        const char* what;
        ContainerPlan plan;
        std::string report;
    };
    auto plan = [](auto change) {
        ContainerPlan p;
        change(p);
        return p;
    };
    const std::string longInternal(80, 'I');
    const std::string longChip(28, 'C');
    const std::string longFile(160, 'F');
    const Case cases[] = {
        {"fields that fill their width", plan([&](ContainerPlan& p) {
             p.phoneModel = "ABCDEFGH";
             p.internalName = longInternal;
             p.chip = longChip;
             p.fileName = longFile;
         }),
         headerReport("ABCDEFGH", longInternal, "2010-03-29 15:51:50", longChip, longFile, "00")},
        {"control bytes", plan([](ContainerPlan& p) {
             p.internalName = "evil\x1b[2Jname\x7f!";
             p.phoneModel = "\x07\x08\xe9";
         }),
         headerReport("??\xe9", "evil?[2Jname?!", "2010-03-29 15:51:50", "QSD8650",
                      "KX100AT-00-V10a.dz", "00")},
        {"counts and version", plan([](ContainerPlan& p) {
             p.subfileCount = 123;
             p.version = 4294967295u;
         }),
         headerReport("KX100", "KX100AT-00-V10a-EUR-XX", "2010-03-29 15:51:50", "QSD8650",
                      "KX100AT-00-V10a.dz", "23", "4294967295")},
        {"time zero", plan([](ContainerPlan& p) { p.creationTime = 0; }),
         headerReport("KX100", "KX100AT-00-V10a-EUR-XX", "1601-01-01 02:00:00", "QSD8650",
                      "KX100AT-00-V10a.dz", "00")},
        {"time that cannot be converted",
         plan([](ContainerPlan& p) { p.creationTime = 0x8000000000000000ULL; }),
         headerReport("KX100", "KX100AT-00-V10a-EUR-XX", "0000-00-00 00:00:00", "QSD8650",
                      "KX100AT-00-V10a.dz", "00")},
        {"empty texts",
         plan([](ContainerPlan& p) { p.phoneModel = p.internalName = p.chip = p.fileName = ""; }),
         headerReport("", "", "2010-03-29 15:51:50", "", "", "00")},
    };
    for (const Case& c : cases) {
        write(buildContainer(c.plan));
        testsupport::RunResult result = run({"-h", "a.dz"}, inZone(kTwoHoursEast));
        EXPECT_EQ(result.output, opening() + c.report + closing()) << c.what;
    }
}

TEST_F(ReportTest, C1ControlsAreHiddenOnlyFromAUtf8Terminal) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "a UTF-8 terminal is POSIX here";
    ContainerPlan plan;
    // U+009B starts a control sequence to some terminals, U+009F is the last C1 control, and
    // U+00A0 is none.
    plan.chip = std::string("csi\xC2\x9B") + "2J\xC2\x9F\xC2\xA0";
    plan.internalName =
        "stray\x9B"
        "2J \xC3\xA9";  // a lone byte 0x9B, then a real letter
    plan.subfiles = {{"next\xC2\x85line.img", 1, "boot"}};
    write(buildContainer(plan));
    struct Case {
        bool terminal;
        std::string chip, internal, name;
    };
    const Case cases[] = {
        {true, "csi?2J?\xC2\xA0", "stray?2J \xC3\xA9", "next?line.img"},
        {false, plan.chip, plan.internalName, plan.subfiles[0].name},
    };
    for (const Case& c : cases) {
        testsupport::RunOptions options = inZone(kTwoHoursEast);
        options.environment.push_back("LC_ALL=C.UTF-8");
        options.terminal = c.terminal;
        std::filesystem::remove_all(dir / "out");
        testsupport::RunResult result = run({"-h", "-x", "a.dz", "out"}, options);
        EXPECT_NE(result.output.find("     - Chip          : " + c.chip + ".\r\n"),
                  std::string::npos)
            << c.terminal << result.output;
        EXPECT_NE(result.output.find("     - Internal name : " + c.internal + ".\r\n"),
                  std::string::npos)
            << c.terminal;
        EXPECT_NE(result.output.find("     - Unpacking \"" + c.name + "\" (Packed:"),
                  std::string::npos)
            << c.terminal;
    }
}

TEST_F(ReportTest, OffsetTableNumbersEntriesWithTwoDigits) {
    ContainerPlan plan;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    std::string expected = status("Offset-Table informations:");
    for (std::uint32_t i = 1; i <= 120; ++i) {
        std::uint32_t type = i == 7 ? 0x1234 : i;
        std::uint32_t offset = i == 8 ? 0xFFFFFFFFu : 1000 * i;
        entries.emplace_back(type, offset);
        char line[64];
        std::snprintf(line, sizeof line, "     - File:#%02u - Type:%03X - Offs:%08X", i % 100,
                      type & 0xFFF, offset);
        expected += detail(line);
    }
    plan.entries = entries;
    write(buildContainer(plan));
    testsupport::RunResult result = run({"-o", "a.dz"});
    EXPECT_EQ(result.output, opening() + expected + closing());
    EXPECT_NE(expected.find("File:#00 - Type:064"), std::string::npos);
    EXPECT_NE(expected.find("Type:234 - Offs:00001B58"), std::string::npos);
}

TEST_F(ReportTest, HeaderAndTableTogetherThenExtraction) {
    ContainerPlan plan;
    plan.subfiles = {{"modem", 5, "modem bytes"}};
    write(buildContainer(plan));
    testsupport::RunResult result = run({"-h", "-x", "-o", "a.dz", "out"}, inZone(kTwoHoursEast));
    const std::string expected =
        opening() +
        headerReport("KX100", "KX100AT-00-V10a-EUR-XX", "2010-03-29 15:51:50", "QSD8650",
                     "KX100AT-00-V10a.dz", "01") +
        status("Offset-Table informations:") +
        detail("     - File:#01 - Type:005 - Offs:0000013C") + status("Unpacking informations:");
    EXPECT_EQ(result.output.substr(0, expected.size()), expected);
    EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace e2e
