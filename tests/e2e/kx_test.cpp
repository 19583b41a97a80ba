// kx info, list and test through the real program: every check's reason, every damaged entry
// reported, the same verdict as kestrix, valid JSON, and the same output whatever the workers.
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using nlohmann::json;
using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::put32;
using testsupport::reseal;
using testsupport::resealTable;

class KxTest : public E2eTest {
  protected:
    // Runs `kx COMMAND a.dz --json` and parses what it prints.
    json kxJson(const std::string& command, testsupport::RunResult& result) {
        result = kx({command, "a.dz", "--json"});
        return json::parse(result.output);
    }
};

// Three sub-files, the last two one output; the second has a gzip wrapper.
ContainerPlan threeSubfiles() {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel and ramdisk"},
                     {"system.img", 3, "system, first half; "},
                     {"system.img", 3, "system, second half"}};
    plan.subfiles[1].gzip = true;
    return plan;
}

std::string hexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

TEST_F(KxTest, EachCheckFailsWithItsReasonCode) {
    const ContainerPlan plan = threeSubfiles();
    const testsupport::ContainerImage image = buildContainer(plan);
    const std::string valid = image.flat();
    const std::size_t body = image.tableAt + 20;
    const std::size_t second = image.subfileAt[1];
    const std::size_t third = image.subfileAt[2];
    struct Case {
        const char* code;
        std::function<std::string()> bytes;
        std::string where;  // "header", "table" or the index of an entry
    };
    const auto damaged = [&](std::function<void(std::string&)> damage) {
        return [&valid, damage] {
            std::string bytes = valid;
            damage(bytes);
            return bytes;
        };
    };
    const auto withPlan = [](std::function<void(ContainerPlan&)> change) {
        return [change] {
            ContainerPlan p = threeSubfiles();
            change(p);
            return buildContainer(p).flat();
        };
    };
    const Case cases[] = {
        {"main-header-markers", damaged([](std::string& b) { b[4] = 'X'; }), "header"},
        {"main-header-digest", damaged([](std::string& b) { b[310] ^= 1; }), "header"},
        {"table-end-marker", damaged([](std::string& b) { b.back() = 'Y'; }), "table"},
        {"table-begin-marker-or-size",
         damaged([](std::string& b) { put32(b, b.size() - 8, 2000); }), "table"},
        {"table-digest", damaged([&](std::string& b) { b[image.tableAt + 4] ^= 1; }), "table"},
        {"table-entry-count", damaged([&](std::string& b) {
             put32(b, body, 4);
             resealTable(b);
         }),
         "table"},
        {"subfile-marker", damaged([&](std::string& b) { b[second] = 'X'; }), "1"},
        {"subfile-header-digest", damaged([&](std::string& b) { b[second + 190] ^= 1; }), "1"},
        {"file-name", withPlan([](ContainerPlan& p) { p.subfiles[0].name = ".."; }), "0"},
        {"overlap", withPlan([&](ContainerPlan& p) {
             p.entries = {{1, static_cast<std::uint32_t>(image.subfileAt[0])},
                          {3, static_cast<std::uint32_t>(second)},
                          {3, static_cast<std::uint32_t>(image.subfileAt[0])}};
         }),
         "2"},
        {"unpack", damaged([&](std::string& b) { b[image.tableAt - 1] ^= 1; }), "2"},
        {"content-digest", damaged([&](std::string& b) {
             b[third + 170] ^= 1;
             reseal(b, third, 180);
         }),
         "2"},
    };
    for (const Case& c : cases) {
        write(c.bytes());
        for (const std::string command : {"info", "list", "test"}) {
            testsupport::RunResult result;
            const json document = kxJson(command, result);
            const bool entry = c.where != "header" && c.where != "table";
            if (command == "info" && entry) {
                EXPECT_EQ(result.status, 0) << c.code << " " << command;
                continue;
            }
            // list sees all but what only unpacking shows.
            const bool unpacking =
                std::string(c.code) == "unpack" || std::string(c.code) == "content-digest";
            if (command == "list" && unpacking) {
                EXPECT_EQ(result.status, 0) << c.code << " " << command;
                continue;
            }
            EXPECT_EQ(result.status, 1) << c.code << " " << command;
            EXPECT_FALSE(document["ok"].get<bool>()) << c.code << " " << command;
            const json& status = entry ? document["entries"][std::stoul(c.where)]["status"]
                                       : document[c.where]["status"];
            EXPECT_EQ(status, c.code) << command;
            EXPECT_EQ(result.errors.rfind("kx: a.dz: ", 0), 0u) << c.code << result.errors;
        }
    }
}

TEST_F(KxTest, EveryDamagedSubfileIsReported) {
    ContainerPlan plan;
    for (int i = 0; i < 6; ++i) {
        plan.subfiles.push_back(
            {"part" + std::to_string(i) + ".bin", 1, std::string(1000 + i, 'a' + i)});
    }
    const testsupport::ContainerImage image = buildContainer(plan);
    std::string bytes = image.flat();
    bytes[image.subfileAt[1]] = 'X';       // marker
    bytes[image.subfileAt[3] + 170] ^= 1;  // content digest, header resealed
    reseal(bytes, image.subfileAt[3], 180);
    bytes[image.subfileAt[5] - 1] ^= 1;  // the Adler-32 of sub-file 4 (index 4)
    write(bytes);
    testsupport::RunResult result = kx({"test", "a.dz"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("   2  part1.bin"), std::string::npos) << result.output;
    for (const std::string line :
         {"   2  part1.bin              -  subfile-marker\n",
          "   4  part3.bin              -  content-digest\n",
          "   5  part4.bin              -  unpack\n", "   6  part5.bin          1,005  ok\n"}) {
        EXPECT_NE(result.output.find(line), std::string::npos) << line << result.output;
    }
    EXPECT_NE(result.output.find("a.dz: FAILED: 3 of 6 sub-files\n"), std::string::npos);
    EXPECT_EQ(result.errors,
              "kx: a.dz: sub-file 2 (part1.bin): the sub-file header's marker is wrong\n"
              "kx: a.dz: sub-file 4 (part3.bin): the unpacked content does not match its MD5 "
              "digest\n"
              "kx: a.dz: sub-file 5 (part4.bin): the packed data is damaged, cut short or too "
              "large\n");
}

TEST_F(KxTest, HumanOutputOfEachCommand) {
    write(buildContainer(threeSubfiles()));
    const std::string packed0 =
        std::to_string(testsupport::deflateContent("kernel and ramdisk", false).size());
    struct Case {
        std::vector<std::string> arguments;
        std::string output;
    };
    const Case cases[] = {
        {{"info", "a.dz"},
         "Container      a.dz\n"
         "Main header    ok\n"
         "Offset table   ok (3 entries)\n"
         "Version        2\n"
         "Phone model    KX100\n"
         "Internal name  KX100AT-00-V10a-EUR-XX\n"
         "Chip           QSD8650\n"
         "File name      KX100AT-00-V10a.dz\n"
         "Sub-files      3\n"
         "Created        2010-03-29T13:51:50Z (file time 129143443100000000)\n"},
        {{"test", "a.dz", "-q"}, "a.dz: OK: 3 sub-files, 57 bytes unpacked and verified\n"},
        {{"test", "a.dz"},
         "   #  name               unpacked  result\n"
         "   1  boot.img               18  ok\n"
         "   2  system.img             20  ok\n"
         "   3  system.img             19  ok\n"
         "a.dz: OK: 3 sub-files, 57 bytes unpacked and verified\n"},
    };
    for (const Case& c : cases) {
        testsupport::RunResult result = kx(c.arguments);
        EXPECT_EQ(result.output, c.output) << c.arguments[0];
        EXPECT_EQ(result.errors, "");
        EXPECT_EQ(result.status, 0);
    }
    testsupport::RunResult list = kx({"list", "a.dz"});
    EXPECT_EQ(list.output.substr(0, list.output.find('\n') + 1),
              "#  type  offset      packed  name        output      piece  check\n");
    EXPECT_NE(list.output.find("3     3  0x"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("system.img  system.img  2/2    ok\n"), std::string::npos);
}

TEST_F(KxTest, AWrongCommandLineShowsTheUsage) {
    write(buildContainer(threeSubfiles()));
    const std::vector<std::pair<std::vector<std::string>, std::string>> lines = {
        {{}, "kx: usage: "},
        {{"test"}, "kx: usage: "},
        {{"bogus", "a.dz"}, "kx: unknown command 'bogus'\n"},
        {{"test", "a.dz", "-j", "0"}, "kx: usage: "},
        {{"test", "a.dz", "extra"}, "kx: usage: "},
        {{"info", "a.dz", "--jobs", "2"}, "kx: usage: "},
        // The document would go where the outputs' bytes go.
        {{"extract", "a.dz", "--stdout", "--json"}, "kx: usage: "},
    };
    for (const auto& [arguments, start] : lines) {
        testsupport::RunResult result = kx(arguments);
        EXPECT_EQ(result.status, 2) << arguments.size();
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.errors.rfind(start, 0), 0u) << result.errors;
        EXPECT_NE(result.errors.find("\nusage: kx info CONTAINER"), std::string::npos);
    }
    testsupport::RunResult missing = kx({"test", "missing.dz"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.errors.rfind("kx: missing.dz: cannot open it: ", 0), 0u) << missing.errors;
    EXPECT_EQ(kx({"--version"}).status, 0);
    // Help ends its lines with LF, as every kx line does, and speaks plainly.
    const testsupport::RunResult help = kx({"test", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.find('\r'), std::string::npos);
    EXPECT_NE(help.output.find("  -j,--jobs N "), std::string::npos) << help.output;
    EXPECT_EQ(help.output.find("UINT"), std::string::npos) << help.output;
}

TEST_F(KxTest, AnAbsolutePathIsNeverTakenForAnOption) {
    write(buildContainer(threeSubfiles()));
    // Forward slashes from the root: a path on both systems (Wine maps it to its own drive).
    const std::string container = dir / "a.dz";
    const std::string out = dir / "out";
    const std::vector<std::vector<std::string>> lines = {
        {"info", container},
        {"test", container, "-q"},
        {"extract", container, "-C", out, "-q"},
        {"extract", "a.dz", "--directory", out, "--force", "-q"},
    };
    for (const auto& arguments : lines) {
        testsupport::RunResult result = kx(arguments);
        EXPECT_EQ(result.status, 0) << arguments[0] << ": " << result.errors;
        EXPECT_EQ(result.errors, "") << arguments[0];
    }
    EXPECT_EQ(testsupport::listDirectory(out),
              (std::vector<std::string>{"boot.img", "system.img"}));
}

TEST_F(KxTest, JsonTextIsUtf8AndNamesKeepTheirBytes) {
    ContainerPlan plan;
    plan.phoneModel =
        "\xff\xfe"
        "ab";
    plan.subfiles = {{"caf\xC3\xA9.img", 1, "utf-8"},
                     {"raw\xE9.img", 2, "latin-1 byte"},
                     {"csi\xC2\x9B.img", 3, "a C1 control"}};
    write(buildContainer(plan));
    testsupport::RunResult result;
    const json document = kxJson("test", result);
    // Windows, in the UTF-8 code page, cannot hold a name that is not UTF-8.
    const bool windows = testsupport::testingWindowsProgram();
    EXPECT_EQ(result.status, windows ? 1 : 0) << result.errors;
    EXPECT_EQ(document["header"]["phone_model"],
              "\xEF\xBF\xBD\xEF\xBF\xBD"
              "ab");
    EXPECT_EQ(document["header"]["phone_model_hex"], "fffe6162");
    const char* expected[] = {"caf\xC3\xA9.img", "raw\xEF\xBF\xBD.img", "csi\xC2\x9B.img"};
    for (std::size_t i = 0; i < plan.subfiles.size(); ++i) {
        const json& entry = document["entries"][i];
        EXPECT_EQ(entry["name"], expected[i]);
        EXPECT_EQ(entry["name_hex"], hexOf(plan.subfiles[i].name));
        EXPECT_EQ(entry["index"], i + 1);
        if (windows && i == 1) {
            EXPECT_EQ(entry["status"], "file-name");
            EXPECT_TRUE(entry["output"].is_null());
            continue;
        }
        EXPECT_EQ(entry["unpacked_size"], plan.subfiles[i].content.size());
    }
}

TEST_F(KxTest, TheWorkersDoNotChangeTheOutput) {
    ContainerPlan plan;
    std::mt19937 random(11);
    for (int i = 0; i < 12; ++i) {
        std::string content(random() % 300000, '\0');
        for (char& c : content) c = static_cast<char>('a' + random() % (i + 2));
        plan.subfiles.push_back({"file" + std::to_string(i % 5) + ".bin", 1u + i % 5, content});
    }
    testsupport::ContainerImage image = buildContainer(plan);
    std::string bytes = image.flat();
    bytes[image.subfileAt[4] + 200] ^= 0x40;
    write(bytes);
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{}, std::vector<std::string>{"--json"}}) {
        std::vector<std::string> one = {"test", "a.dz", "-j", "1"};
        std::vector<std::string> four = {"test", "a.dz", "-j", "4"};
        one.insert(one.end(), mode.begin(), mode.end());
        four.insert(four.end(), mode.begin(), mode.end());
        testsupport::RunResult serial = kx(one);
        testsupport::RunResult parallel = kx(four);
        EXPECT_EQ(serial.status, 1);
        EXPECT_EQ(parallel.output, serial.output);
        EXPECT_EQ(parallel.errors, serial.errors);
        EXPECT_EQ(parallel.status, serial.status);
    }
}

// Damaged containers, as the fault tests make them: kx test calls a container good exactly
// when kestrix extracts it whole.
TEST_F(KxTest, AgreesWithKestrixOnWhetherAContainerIsGood) {
    const std::string program = dir / testsupport::programFileName();
    std::filesystem::copy_file(testsupport::programUnderTest(), program);
    // The largest working size, so that kestrix unpacks whatever kx can; Windows commits the
    // whole buffer at once, which Wine cannot always give, and these sub-files are small.
    testsupport::writeFile(
        dir / testsupport::settingsFileName(),
        testsupport::testingWindowsProgram() ? "[main]\nworkmem=64\n" : "[main]\nworkmem=4095\n");
    testsupport::RunOptions kestrix;
    kestrix.program = program;

    const ContainerPlan plan = threeSubfiles();
    const testsupport::ContainerImage image = buildContainer(plan);
    const std::string valid = image.flat();
    std::vector<std::string> containers = {valid};
    std::mt19937 random(5);
    for (int i = 0; i < 60; ++i) {
        std::string bytes = valid;
        const std::size_t at = random() % bytes.size();
        bytes[at] = static_cast<char>(bytes[at] ^ (1 << (random() % 8)));
        // Half of them with the digest over the damaged header or table made right again.
        for (std::size_t s = 0; s < image.subfileAt.size(); ++s) {
            const std::size_t from = image.subfileAt[s];
            if (i % 2 == 0 && at >= from && at < from + 180) reseal(bytes, from, 180);
        }
        if (i % 2 == 0 && at >= image.tableAt + 20 && at < bytes.size() - 8) resealTable(bytes);
        containers.push_back(bytes);
    }
    int bad = 0;
    for (std::size_t i = 0; i < containers.size(); ++i) {
        write(containers[i]);
        std::filesystem::remove_all(dir / "out");
        const int kestrixStatus = run({"a.dz", "out"}, kestrix).status;
        const int kxStatus = kx({"test", "a.dz", "-q"}).status;
        EXPECT_EQ(kxStatus == 0, kestrixStatus == 0) << "container " << i;
        EXPECT_NE(kxStatus, 2);
        bad += kestrixStatus != 0;
    }
    EXPECT_GT(bad, 30);  // most of the damage must be seen, or the comparison proves little
}

}  // namespace
}  // namespace e2e
