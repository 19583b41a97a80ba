// The integrity checks through the real program, on damaged containers.
#include <filesystem>
#include <functional>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::put32;
using testsupport::reseal;
using testsupport::resealTable;

ContainerPlan twoSubfiles() {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "first sub-file"}, {"modem.bin", 2, "second sub-file"}};
    return plan;
}

// The end of a container whose table body has N bytes, for N below 8, where the stored digest
// overlaps the size field: "OSTX", 16 - N bytes that read as the digest with the N-byte body,
// then the size and "ESTX".
std::string tinyTableTail(std::uint32_t size) {
    std::string tail = "OSTX" + std::string(20 + size - 8, '\x11');
    std::string sizeField(4, '\0');
    put32(sizeField, 0, size);
    return tail + sizeField + "ESTX";
}

using CheckTest = E2eTest;

TEST_F(CheckTest, TheFirstFailingTestIsReported) {
    const std::string valid = buildContainer(twoSubfiles()).flat();
    const std::size_t tableAt = valid.size() - 24 - 24;  // two entries: a body of 24 bytes
    const std::size_t second =
        316 + 196 + testsupport::deflateContent("first sub-file", false).size();
    struct Case {
        const char* what;
        std::function<std::string()> bytes;
        std::string lines;  // after the opening lines, before the closing line
    };
    const std::string unpacking = heading();
    const std::string none = summary(0);
    const std::string first =
        detail("     - Unpacking \"boot.img\" (Packed:" +
               hex8(testsupport::deflateContent("first sub-file", false).size()) +
               " - Unpacked:0000000E).");
    const std::string oneWritten = summary(1);
    const Case cases[] = {
        {"empty file", [] { return std::string(); }, error("Invalid markers in main header.")},
        {"begin marker",
         [&] {
             auto b = valid;
             b[0] = 'N';
             return b;
         },
         error("Invalid markers in main header.")},
        {"end marker",
         [&] {
             auto b = valid;
             b[7] = 'Y';
             return b;
         },
         error("Invalid markers in main header.")},
        {"header digest",
         [&] {
             auto b = valid;
             b[315] ^= 1;
             return b;
         },
         error("Invalid MD5 hash in main header.")},
        {"header field",
         [&] {
             auto b = valid;
             b[40] ^= 1;
             return b;
         },
         error("Invalid MD5 hash in main header.")},
        {"digest cut short", [&] { return valid.substr(0, 310); },
         error("Invalid MD5 hash in main header.")},
        {"both main header and table damaged",
         [&] {
             auto b = valid;
             b[315] ^= 1;
             b.back() = 'Y';
             return b;
         },
         error("Invalid MD5 hash in main header.")},
        {"table end marker",
         [&] {
             auto b = valid;
             b[b.size() - 1] = 'Y';
             return b;
         },
         error("Invalid end marker in offset-table.")},
        {"cut file", [&] { return valid.substr(0, valid.size() - 1); },
         error("Invalid end marker in offset-table.")},
        {"size above the largest",
         [&] {
             auto b = valid;
             put32(b, b.size() - 8, 1029);
             return b;
         },
         error("Invalid begin marker or size in offset-table.")},
        {"size before the start",
         [&] {
             auto b = valid.substr(0, 316) + valid.substr(tableAt);
             put32(b, b.size() - 8, 1000);
             return b;
         },
         error("Invalid begin marker or size in offset-table.")},
        {"table begin marker",
         [&] {
             auto b = valid;
             b[tableAt] = 'Q';
             return b;
         },
         error("Invalid begin marker or size in offset-table.")},
        {"table digest",
         [&] {
             auto b = valid;
             b[tableAt + 4] ^= 1;
             return b;
         },
         error("Invalid MD5 hash in offset-table.")},
        {"table entry",
         [&] {
             auto b = valid;
             b[tableAt + 28] ^= 1;
             return b;
         },
         error("Invalid MD5 hash in offset-table.")},
        {"size 0", [&] { return valid.substr(0, 316) + tinyTableTail(0); },
         error("Invalid MD5 hash in offset-table.")},
        {"size 3", [&] { return valid.substr(0, 316) + tinyTableTail(3); },
         error("Invalid MD5 hash in offset-table.")},
        {"count beyond the body",
         [&] {
             auto b = valid;
             put32(b, tableAt + 20, 3);
             resealTable(b);
             return b;
         },
         error("Invalid entry count in offset-table.")},
        {"huge count",
         [&] {
             auto b = valid;
             put32(b, tableAt + 20, 0x20000000);
             resealTable(b);
             return b;
         },
         error("Invalid entry count in offset-table.")},
        {"sub-file marker",
         [&] {
             auto b = valid;
             b[316] = 'X';
             return b;
         },
         unpacking + error("Invalid marker in subfile-header.") + none},
        {"sub-file header digest",
         [&] {
             auto b = valid;
             b[316 + 180] ^= 1;
             return b;
         },
         unpacking + error("Invalid MD5 hash in subfile-header.") + none},
        {"sub-file header field",
         [&] {
             auto b = valid;
             b[316 + 30] ^= 1;
             return b;
         },
         unpacking + error("Invalid MD5 hash in subfile-header.") + none},
        {"second sub-file marker",
         [&] {
             auto b = valid;
             b[second] = 'X';
             return b;
         },
         unpacking + first + error("Invalid marker in subfile-header.") + oneWritten},
        {"offset beyond the end first",
         [&] {
             auto b = valid;
             put32(b, tableAt + 28, 0x7FFFFFF0);
             resealTable(b);
             return b;
         },
         unpacking + error("Invalid marker in subfile-header.") + none},
        {"offset beyond the end after a header",
         [&] {
             auto b = valid;
             put32(b, tableAt + 36, static_cast<std::uint32_t>(b.size()));
             resealTable(b);
             return b;
         },
         unpacking + first + error("Invalid MD5 hash in subfile-header.") + oneWritten},
        {"offset into the middle",
         [&] {
             auto b = valid;
             put32(b, tableAt + 28, 100);
             resealTable(b);
             return b;
         },
         unpacking + error("Invalid marker in subfile-header.") + none},
    };
    for (const Case& c : cases) {
        write(c.bytes());
        std::filesystem::remove_all(dir / "out");
        testsupport::RunResult result = run({"a.dz", "out"});
        EXPECT_EQ(result.output, opening() + c.lines + closing()) << c.what;
        EXPECT_EQ(result.status, 1) << c.what;
    }
}

TEST_F(CheckTest, TablesOfTheSmallestAndLargestBodyAreValid) {
    write(buildContainer({}));
    testsupport::RunResult result = run({"-o", "-x", "a.dz", "out"});
    EXPECT_EQ(result.output, opening() + status("Offset-Table informations:") +
                                 status("Unpacking informations:") +
                                 status("SubFiles: 0x00000000. (Packsmith)") + closing());
    EXPECT_EQ(result.status, 0);

    // Two entries in a body of the largest size: zeros between them and the size field.
    std::string bytes = buildContainer(twoSubfiles()).flat();
    bytes.insert(bytes.size() - 8, 1028 - 24, '\0');
    put32(bytes, bytes.size() - 8, 1028);
    resealTable(bytes);
    write(bytes);
    std::filesystem::remove_all(dir / "out");
    result = run({"a.dz", "out"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(testsupport::readFile(dir / "out/modem.bin"), "second sub-file");

    // As many entries as the largest body holds: the last one is unpacked too.
    ContainerPlan most;
    for (int i = 1; i <= 127; ++i) {
        std::string name = std::to_string(i);
        most.subfiles.push_back({name + ".bin", 1, name});
    }
    write(buildContainer(most));
    std::filesystem::remove_all(dir / "out");
    result = run({"a.dz", "out"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(testsupport::readFile(dir / "out/127.bin"), "127");
}

TEST_F(CheckTest, ContainersBeyondFourGibibytes) {
    // Sub-files beyond 2 GiB and 3 GiB, the table beyond 4 GiB: a sparse file costs no disk.
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "far away"}, {"system.img", 3, "farther"}};
    plan.subfiles[0].at = 0x80000100ULL;
    plan.subfiles[1].at = 0xC0000000ULL;
    plan.subfiles[1].gzip = true;
    plan.tableAt = 0x140000000ULL;
    write(buildContainer(plan));
    testsupport::RunResult result = run({"-o", "a.dz", "out"});
    EXPECT_EQ(result.output, opening() + status("Offset-Table informations:") +
                                 detail("     - File:#01 - Type:001 - Offs:80000100") +
                                 detail("     - File:#02 - Type:003 - Offs:C0000000") + closing());
    result = run({"a.dz", "out"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(testsupport::readFile(dir / "out/boot.img"), "far away");
    EXPECT_EQ(testsupport::readFile(dir / "out/system.img"), "farther");
}

}  // namespace
}  // namespace e2e
