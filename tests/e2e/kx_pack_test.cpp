// kx pack through the real program: extract with a manifest, pack, and the container checks at
// every level, extracts to the same files and keeps every stored field; a changed image repacks;
// what a container cannot hold is refused before anything is written.
#include <zlib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::readFile;

// A gzip stream with every optional header field: extra, name, comment and the header's CRC.
std::string gzipWithFields(const std::string& content) {
    std::string header = std::string("\x1f\x8b\x08\x1e\x78\x56\x34\x12\x02\x0b", 10);
    header += std::string("\x03\x00xyz", 5) + "image.raw" + '\0' + "a comment" + '\0';
    const uLong headerCrc =
        crc32(0, reinterpret_cast<const Bytef*>(header.data()), static_cast<uInt>(header.size()));
    header += static_cast<char>(headerCrc & 0xff);
    header += static_cast<char>(headerCrc >> 8 & 0xff);
    const std::string zlib = testsupport::deflateContent(content, false);
    const std::string raw = zlib.substr(2, zlib.size() - 6);
    std::string trailer(8, '\0');
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size()));
    testsupport::put32(trailer, 0, static_cast<std::uint32_t>(crc));
    testsupport::put32(trailer, 4, static_cast<std::uint32_t>(content.size()));
    return header + raw + trailer;
}

// The stored fields a repack must keep: the main header but its markers, and for each entry
// its type, its name field and its 12 uninterpreted bytes.
std::string storedFields(const std::string& container) {
    std::string fields = container.substr(8, 292);
    const std::uint32_t size = testsupport::get32(container, container.size() - 8);
    const std::size_t body = container.size() - 4 - size;
    const std::uint32_t count = testsupport::get32(container, body);
    for (std::uint32_t i = 0; i < count; ++i) {
        fields += container.substr(body + 4 + 8 * i, 4);  // type
        const std::uint32_t at = testsupport::get32(container, body + 8 + 8 * i);
        fields += container.substr(at + 4, 12) + container.substr(at + 20, 144);
    }
    return fields;
}

class KxPackTest : public E2eTest {};

TEST_F(KxPackTest, ARoundTripKeepsEveryLevel) {
    ContainerPlan joined;
    joined.subfiles = {{"system.img", 3, std::string(70000, 's')},
                       {"boot.img", 1, "kernel"},
                       {"system.img", 3, "second half"},
                       {"empty.bin", 4, ""},
                       // Entries that take a while to pack, so that workers overlap.
                       {"modem.bin", 5, bulky(3 << 20, 'a')},
                       {"modem.bin", 5, bulky(2 << 20, 'b')},
                       {"radio.img", 6, bulky(3 << 20, 'c')}};
    joined.subfiles[1].gzip = true;
    joined.subfiles[1].packed = gzipWithFields("kernel");
    ContainerPlan full;
    full.phoneModel = std::string(8, 'P');
    full.internalName = std::string(80, 'I');
    full.chip = std::string(28, 'C');
    full.fileName = std::string(160, 'F');
    full.subfileCount = 99;
    full.version = 7;
    full.creationTime = 0xFFFFFFFFFFFFFFFFULL;
    full.subfiles = {{std::string(144, 'n'), 0xFFFFFFFF, "the longest name"},
                     {std::string(140, 'm') + ".bin", 2, "longest with an extension"}};
    struct Case {
        const char* what;
        ContainerPlan plan;
    };
    const Case cases[] = {{"joined pieces and wrappers", joined},
                          {"an empty table", ContainerPlan()},
                          {"fields filled to their width", full}};
    for (const Case& c : cases) {
        fs::remove_all(dir / "work");
        write(buildContainer(c.plan));
        const std::string original = readFile(dir / "a.dz");
        testsupport::RunResult result =
            kx({"extract", "a.dz", "-C", "work/files", "--manifest", "work/m.json", "-q"});
        ASSERT_EQ(result.status, 0) << c.what << result.errors;
        result = kx({"pack", "work/m.json", "-o", "new.dz", "-j", "3", "--force"});
        ASSERT_EQ(result.status, 0) << c.what << result.errors;
        EXPECT_EQ(kx({"test", "new.dz", "-q"}).status, 0) << c.what;
        const std::string packed = readFile(dir / "new.dz");
        EXPECT_EQ(storedFields(packed), storedFields(original)) << c.what;

        fs::remove_all(dir / "by-kestrix");
        EXPECT_EQ(run({"new.dz", "by-kestrix"}).status, 0) << c.what;
        EXPECT_EQ(filesIn(dir / "by-kestrix"), filesIn(dir / "work/files")) << c.what;

        // Packing what it gives again, with other workers, gives the same bytes.
        result =
            kx({"extract", "new.dz", "-C", "again", "--manifest", "again/m.json", "--force", "-q"});
        EXPECT_EQ(result.status, 0) << c.what;
        result = kx({"pack", "again/m.json", "-o", "again.dz", "-j", "1", "--force", "-q"});
        EXPECT_EQ(result.status, 0) << c.what << result.errors;
        EXPECT_TRUE(holds(dir / "again.dz", packed)) << c.what;
    }
}

TEST_F(KxPackTest, AChangedImageRepacksAndItsLastPieceTakesWhatRemains) {
    // An empty piece between the two: it starts where the last one does, and stays empty.
    ContainerPlan plan;
    plan.subfiles = {{"system.img", 3, "first piece|"},
                     {"system.img", 3, ""},
                     {"system.img", 3, "second piece"}};
    write(buildContainer(plan));
    ASSERT_EQ(kx({"extract", "a.dz", "--manifest", "m.json", "-q"}).status, 0);
    struct Case {
        const char* what;
        std::string image;
        int status;
    };
    const Case cases[] = {
        {"grown", "first piece|second piece, and more", 0},
        {"shrunk", "first piece|sec", 0},
        {"shrunk into the first piece", "first", 1},
        {"the last piece empty", "first piece|", 1},
    };
    for (const Case& c : cases) {
        fs::remove(dir / "new.dz");
        testsupport::writeFile(dir / "system.img", c.image);
        testsupport::RunResult result = kx({"pack", "m.json", "-o", "new.dz"});
        EXPECT_EQ(result.status, c.status) << c.what << result.errors;
        if (c.status != 0) {
            EXPECT_FALSE(fs::exists(dir / "new.dz")) << c.what;
            EXPECT_NE(result.errors.find("kx: "), std::string::npos) << c.what;
            continue;
        }
        result =
            kx({"extract", "new.dz", "-C", "out", "--force", "--manifest", "out/m.json", "-q"});
        EXPECT_EQ(readFile(dir / "out/system.img"), c.image) << c.what;
        const nlohmann::json manifest = nlohmann::json::parse(readFile(dir / "out/m.json"));
        EXPECT_EQ(manifest["entries"][0]["length"], 12) << c.what;
        EXPECT_EQ(manifest["entries"][1]["length"], 0) << c.what;
        EXPECT_EQ(manifest["entries"][2]["length"], c.image.size() - 12) << c.what;
    }
}

TEST_F(KxPackTest, WhatAContainerCannotHoldIsRefusedBeforeAnythingIsWritten) {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"}};
    write(buildContainer(plan));
    ASSERT_EQ(kx({"extract", "a.dz", "--manifest", "m.json", "-q"}).status, 0);
    const nlohmann::json valid = nlohmann::json::parse(readFile(dir / "m.json"));
    struct Case {
        const char* what;
        std::function<void(nlohmann::json&)> change;
        std::string error;       // the start of what is said
        std::string end = "\n";  // and its end
        std::vector<std::string> options = {};
    };
    const Case cases[] = {
        {"128 entries",
         [](nlohmann::json& m) {
             for (int i = 0; i < 127; ++i) m["entries"].push_back(m["entries"][0]);
         },
         "kx: manifest: 128 entries: a container holds at most 127"},
        {"a name kestrix refuses",
         [](nlohmann::json& m) { m["entries"][0]["name"]["hex"] = "2e2e"; },
         "kx: entry 1: its name could leave the output folder"},
        {"a field wider than its place",
         [](nlohmann::json& m) { m["container"]["phone_model"]["hex"] = "414243444546474849"; },
         "kx: m.json: not a manifest: phone_model holds 9 bytes, more than its 8"},
        {"a missing file", [](nlohmann::json& m) { m["entries"][0]["file_hex"] = "676f6e65"; },
         "kx: "},
        {"a path that leaves the folder",
         [](nlohmann::json& m) { m["entries"][0]["file_hex"] = "2e2e2f626f6f742e696d67"; },
         "kx: entry 1: its file \"../boot.img\" leaves the manifest's folder"},
        {"an entry never extracted, and no original named",
         [](nlohmann::json& m) {
             m["entries"][0]["file"] = nullptr;
             m.erase("original");
         },
         "kx: entry 1: no file named (not extracted), and the manifest names no original"},
        {"not json", [](nlohmann::json& m) { m = "just text"; }, "kx: m.json: not a manifest: "},
        {"a piece one byte past its file's end",
         [](nlohmann::json& m) {
             m["entries"].push_back(m["entries"][0]);
             m["entries"][0]["length"] = 7;
             m["entries"][1]["offset"] = 1;
         },
         "kx: ", ": it is too short for entry 1\n"},  // after the file's whole path
        {"a base that cannot be opened",
         [](nlohmann::json&) {},
         "kx: gone.dz: cannot open the original container: ",
         "\n",
         {"--base", "gone.dz"}},
    };
    for (const Case& c : cases) {
        nlohmann::json manifest = valid;
        c.change(manifest);
        testsupport::writeFile(dir / "m.json", manifest.dump());
        std::vector<std::string> arguments = {"pack", "m.json", "-o", "new.dz"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        testsupport::RunResult result = kx(arguments);
        EXPECT_EQ(result.status, 1) << c.what;
        EXPECT_EQ(result.errors.rfind(c.error, 0), 0u) << c.what << ": " << result.errors;
        EXPECT_TRUE(
            result.errors.size() >= c.end.size() &&
            result.errors.compare(result.errors.size() - c.end.size(), c.end.size(), c.end) == 0)
            << c.what << ": " << result.errors;
        EXPECT_FALSE(fs::exists(dir / "new.dz")) << c.what;
        EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{}) << c.what;
    }
    testsupport::writeFile(dir / "m.json", valid.dump());
    testsupport::writeFile(dir / "new.dz", "earlier");
    testsupport::RunResult result = kx({"pack", "m.json", "-o", "new.dz"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(readFile(dir / "new.dz"), "earlier");
    EXPECT_EQ(kx({"pack", "m.json", "-o", "new.dz", "--force", "-q"}).status, 0);
}

// The Windows program and this system's kx read each other's containers and manifests.
TEST_F(KxPackTest, BothBuildsReadWhatTheOtherPacked) {
    if (!testsupport::testingWindowsProgram()) GTEST_SKIP() << "only beside the Windows program";
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel"}, {"system.img", 2, "one"}, {"system.img", 2, "two"}};
    write(buildContainer(plan));
    testsupport::RunOptions native;
    native.program = testsupport::nativeKx();
    ASSERT_EQ(kx({"extract", "a.dz", "-C", "w", "--manifest", "w.json", "-q"}).status, 0);
    ASSERT_EQ(run({"extract", "a.dz", "-C", "n", "--manifest", "n.json", "-q"}, native).status, 0);
    EXPECT_EQ(kx({"pack", "n.json", "-o", "from-native.dz", "-q"}).status, 0);
    EXPECT_EQ(run({"pack", "w.json", "-o", "from-windows.dz", "-q"}, native).status, 0);
    EXPECT_EQ(run({"test", "from-native.dz", "-q"}, native).status, 0);
    EXPECT_EQ(kx({"test", "from-windows.dz", "-q"}).status, 0);
    EXPECT_EQ(run({"from-native.dz", "x1"}).status, 0);
    EXPECT_EQ(run({"from-windows.dz", "x2"}).status, 0);
    EXPECT_EQ(filesIn(dir / "x1"), filesIn(dir / "x2"));
    EXPECT_EQ(filesIn(dir / "x1").size(), 2u);
}

}  // namespace
}  // namespace e2e
