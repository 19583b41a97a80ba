// The round trip through the real program: extract with a manifest, change a file, pack, test.
// Unchanged entries are copied byte for byte from the original; at every seam a hostile input is
// refused before the target is touched.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::readFile;

// Each entry's stored record, its header with digest and its packed bytes, in table order.
std::vector<std::string> entryRecords(const std::string& container) {
    const std::uint32_t size = testsupport::get32(container, container.size() - 8);
    const std::size_t body = container.size() - 4 - size;
    std::vector<std::string> records;
    for (std::uint32_t i = 0; i < testsupport::get32(container, body); ++i) {
        const std::uint32_t at = testsupport::get32(container, body + 8 + 8 * i);
        records.push_back(container.substr(at, 196 + testsupport::get32(container, at + 16)));
    }
    return records;
}

class KxRoundTripTest : public E2eTest {
  protected:
    void SetUp() override { write(buildContainer(splitImageFirmware())); }
};

TEST_F(KxRoundTripTest, UnchangedEntriesAreCopiedAndOnlyAChangedPieceDiffers) {
    const std::string original = readFile(dir / "a.dz");
    const std::vector<std::string> records = entryRecords(original);
    struct Case {
        const char* what;
        std::vector<std::string> extract;  // after the container: the names, options
        std::vector<std::string> pack;     // options after the manifest
        std::function<void()> change;
        int changedEntry;  // -1: none, the container comes back byte for byte; -2: not compared
    };
    const Case cases[] = {
        {"all extracted, unchanged", {}, {}, nullptr, -1},
        {"one image extracted, unchanged", {"system.img"}, {}, nullptr, -1},
        {"nothing chosen of the rest, the second piece changed",
         {"system.img"},
         {},
         [this] { poke("work/system.img", 300000 + 17); },
         2},
        {"all extracted, the last piece changed",
         {},
         {},
         [this] { poke("work/system.img", 500001); },
         3},
        {"all extracted, the original's first entry damaged behind its header",
         {},
         {},
         [this] {
             std::string bytes = readFile(dir / "a.dz");
             bytes[316 + 196 + 100] = static_cast<char>(bytes[316 + 196 + 100] ^ 0xff);
             testsupport::writeFile(dir / "a.dz", bytes);
         },
         -2},
        {"all extracted, the original swapped for one whose first entry unpacks to other bytes",
         {},
         {},
         [this] {
             ContainerPlan swapped = splitImageFirmware();
             std::string other = swapped.subfiles[0].content;
             other[7] = static_cast<char>(other[7] ^ 1);
             swapped.subfiles[0].packed = testsupport::deflateContent(other, false);
             write(buildContainer(swapped));
         },
         -2},
        {"the original named with --base after it moved",
         {"boot.img"},
         {"--base", "moved.dz"},
         [this] {
             fs::rename(dir / "a.dz", dir / "moved.dz");
             poke("work/boot.img", 0);
         },
         1},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "work");
        fs::remove(dir / "new.dz");
        fs::remove(dir / "moved.dz");
        write(buildContainer(splitImageFirmware()));
        std::vector<std::string> extract = {"extract", "a.dz"};
        extract.insert(extract.end(), c.extract.begin(), c.extract.end());
        extract.insert(extract.end(), {"-C", "work", "--manifest", "work/m.json", "-q"});
        ASSERT_EQ(kx(extract).status, 0) << c.what;
        if (c.change) c.change();
        std::vector<std::string> pack = {"pack", "work/m.json", "-o", "new.dz", "-q"};
        pack.insert(pack.end(), c.pack.begin(), c.pack.end());
        const testsupport::RunResult result = kx(pack);
        ASSERT_EQ(result.status, 0) << c.what << result.errors;
        EXPECT_EQ(kx({"test", "new.dz", "-q"}).status, 0) << c.what;
        const std::string packed = readFile(dir / "new.dz");
        if (c.changedEntry == -2) continue;
        if (c.changedEntry < 0) {
            EXPECT_TRUE(packed == original) << c.what;
            continue;
        }
        const std::vector<std::string> now = entryRecords(packed);
        ASSERT_EQ(now.size(), records.size()) << c.what;
        for (std::size_t i = 0; i < now.size(); ++i) {
            EXPECT_EQ(now[i] == records[i], static_cast<int>(i) != c.changedEntry)
                << c.what << ": entry " << i + 1;
        }
    }
}

// A changed piece of many deflate blocks keeps the original's blocks before and after the change:
// its packed data begins as the original's did, and the container passes kx test.
TEST_F(KxRoundTripTest, AChangedPieceKeepsTheOriginalsBlocksAroundTheChange) {
    std::string text;
    std::uint32_t x = 3;
    while (text.size() < (1u << 20)) {
        x = x * 1103515245u + 12345u;
        text += std::to_string(x >> 20) + (x % 7 == 0 ? " block\n" : " image ");
    }
    ContainerPlan plan;
    plan.subfiles = {{"system.img", 3, text}};
    write(buildContainer(plan));
    ASSERT_EQ(kx({"extract", "a.dz", "-C", "work", "--manifest", "work/m.json", "-q"}).status, 0);
    poke("work/system.img", text.size() / 2);
    ASSERT_EQ(kx({"pack", "work/m.json", "-o", "new.dz", "-q"}).status, 0);
    EXPECT_EQ(kx({"test", "new.dz", "-q"}).status, 0);
    const std::string before = entryRecords(readFile(dir / "a.dz"))[0];
    const std::string after = entryRecords(readFile(dir / "new.dz"))[0];
    // The record (196 bytes) differs in its size and digests; past it, the first quarter of the
    // packed data stands as it stood.
    const std::size_t quarter = (before.size() - 196) / 4;
    EXPECT_EQ(after.substr(196, quarter), before.substr(196, quarter));
    EXPECT_NE(after, before);
}

TEST_F(KxRoundTripTest, KeptFilesAreRecordedAndPacked) {
    ASSERT_EQ(kx({"extract", "a.dz", "-C", "work", "-q"}).status, 0);
    poke("work/system.img", 400000);
    const std::string changed = readFile(dir / "work/system.img");
    testsupport::writeFile(dir / "work/m.json", "an earlier manifest");
    const testsupport::RunResult refused =
        kx({"extract", "a.dz", "-C", "work", "--keep", "--manifest", "work/m.json", "-q"});
    EXPECT_EQ(refused.errors, "kx: work/m.json: it exists (remove it, or name another manifest)\n");
    fs::remove(dir / "work/m.json");
    ASSERT_EQ(
        kx({"extract", "a.dz", "-C", "work", "--keep", "--manifest", "work/m.json", "-q"}).status,
        0);
    ASSERT_EQ(kx({"pack", "work/m.json", "-o", "new.dz", "-q"}).status, 0);
    ASSERT_EQ(kx({"extract", "new.dz", "-C", "again", "-q"}).status, 0);
    EXPECT_TRUE(holds(dir / "again/system.img", changed));
    EXPECT_EQ(entryRecords(readFile(dir / "new.dz"))[2] == entryRecords(readFile(dir / "a.dz"))[2],
              false);

    // A kept file was never proven against the original's entry: one whose packed data does not
    // unpack to its digest is not copied, even when the file has that digest.
    ContainerPlan broken;
    broken.subfiles = {{"boot.img", 1, "kernel"}};
    broken.subfiles[0].packed = testsupport::deflateContent("other!", false);
    write(buildContainer(broken), "broken.dz");
    fs::create_directory(dir / "kept");
    testsupport::writeFile(dir / "kept/boot.img", "kernel");
    ASSERT_EQ(
        kx({"extract", "broken.dz", "-C", "kept", "--keep", "--manifest", "kept/m.json", "-q"})
            .status,
        0);
    ASSERT_EQ(kx({"pack", "kept/m.json", "-o", "mended.dz", "-q"}).status, 0);
    EXPECT_EQ(kx({"test", "mended.dz", "-q"}).status, 0);
}

// What kx pack refuses when entries must come from the original: every entry concerned is
// named, with a way on, and nothing is written.
TEST_F(KxRoundTripTest, AnOriginalThatCannotGiveWhatIsNeededIsRefused) {
    struct Case {
        const char* what;
        std::function<void()> change;
        std::vector<std::string> options;
        std::vector<std::string> said;  // each in the errors
    };
    const Case cases[] = {
        {"the original is gone",
         [this] { fs::remove(dir / "a.dz"); },
         {},
         {"kx: ", "cannot open the original container: ",
          "kx: entries 2, 5: no file named (not extracted), so copied from the original "
          "container: name it with --base ORIGINAL.dz, or extract them\n"}},
        {"the original was changed",
         [this] {
             std::string bytes = readFile(dir / "a.dz");
             bytes += "more";
             testsupport::writeFile(dir / "a.dz", bytes);
         },
         {},
         {"it is not the container the manifest was written from", "kx: entries 2, 5: "}},
        {"its entry damaged behind a good header",
         [this] {
             std::string bytes = readFile(dir / "a.dz");
             const std::size_t body =
                 bytes.size() - 4 - testsupport::get32(bytes, bytes.size() - 8);
             const std::uint32_t at = testsupport::get32(bytes, body + 8 + 8 * 4);
             bytes[at + 196 + 10] = static_cast<char>(bytes[at + 196 + 10] ^ 0xff);
             testsupport::writeFile(dir / "a.dz", bytes);
         },
         {},
         {"kx: entry 5: no file named, and the original's entry 5 fails its checks (unpack): "
          "extract it from a good container\n"}},
        {"--recompress",
         nullptr,
         {"--recompress"},
         {"kx: entries 2, 5: no file named (not extracted): without --recompress"}},
    };
    for (const Case& c : cases) {
        write(buildContainer(splitImageFirmware()));
        fs::remove_all(dir / "work");
        ASSERT_EQ(
            kx({"extract", "a.dz", "system.img", "-C", "work", "--manifest", "work/m.json", "-q"})
                .status,
            0);
        if (c.change) c.change();
        std::vector<std::string> pack = {"pack", "work/m.json", "-o", "new.dz"};
        pack.insert(pack.end(), c.options.begin(), c.options.end());
        const testsupport::RunResult result = kx(pack);
        EXPECT_EQ(result.status, 1) << c.what;
        for (const std::string& said : c.said) {
            EXPECT_NE(result.errors.find(said), std::string::npos)
                << c.what << ": " << result.errors;
        }
        EXPECT_FALSE(fs::exists(dir / "new.dz")) << c.what;
        EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{}) << c.what;
    }
}

TEST_F(KxRoundTripTest, TheEntriesNotExtractedAreProvenOnceAndABadOneIsNeverTrusted) {
    ContainerPlan plan = splitImageFirmware();
    std::string damaged = plan.subfiles[4].content;
    damaged[100] = 'x';  // its stored digest is the undamaged content's
    plan.subfiles[4].packed = testsupport::deflateContent(damaged, false);
    write(buildContainer(plan));
    const testsupport::RunResult extracted =
        kx({"extract", "a.dz", "system.img", "-C", "work", "--manifest", "work/m.json"});
    EXPECT_EQ(extracted.status, 0) << extracted.errors;  // what was asked for is good
    const nlohmann::json manifest = nlohmann::json::parse(readFile(dir / "work/m.json"));
    EXPECT_EQ(manifest["entries"][1]["proven"], true);   // boot.img, not extracted
    EXPECT_EQ(manifest["entries"][4]["proven"], false);  // modem.bin, its digest fails
    const testsupport::RunResult packed = kx({"pack", "work/m.json", "-o", "new.dz"});
    EXPECT_EQ(packed.status, 1);
    EXPECT_NE(packed.errors.find("kx: entry 5: no file named, and the original's entry 5 fails "
                                 "its checks (content-digest)"),
              std::string::npos)
        << packed.errors;
    EXPECT_FALSE(fs::exists(dir / "new.dz"));
}

// Hostile inputs at the round trip's seams: each ends quickly, with status 1, and leaves what
// it names untouched.
TEST_F(KxRoundTripTest, HostileInputsAtTheSeams) {
    ASSERT_EQ(kx({"extract", "a.dz", "-C", "work", "--manifest", "work/m.json", "-q"}).status, 0);
    const nlohmann::json manifest = nlohmann::json::parse(readFile(dir / "work/m.json"));
    // Links and FIFOs are POSIX cases.
    const bool posix = !testsupport::testingWindowsProgram();
    fs::create_directories(dir / "outside");
    testsupport::writeFile(dir / "outside/secret", "secret");
    if (posix) {
        fs::create_directory_symlink("../outside", dir / "work/link");
        ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    }
    fs::create_directory(dir / "folder");
    // A table entry that points at the main header: its "packed size" is the creation time's
    // low half, 4,211,859,200 bytes that the file cannot hold.
    ContainerPlan pointing;
    pointing.subfiles = {{"boot.img", 1, "kernel"}};
    pointing.entries = {{{1, 316}, {2, 0}}};
    write(buildContainer(pointing), "pointing.dz");
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::vector<std::string> arguments;
        std::string said;       // in the errors
        std::string untouched;  // a file that must keep its bytes, when any
    };
    const auto manifestWith = [&](const std::function<void(nlohmann::json&)>& change) {
        return [&, change] {
            nlohmann::json m = manifest;
            change(m);
            testsupport::writeFile(dir / "work/m.json", m.dump());
        };
    };
    const Case cases[] = {
        {"an entry's packed size past the end",
         nullptr,
         {"extract", "pointing.dz", "-C", "p", "--manifest", "p/m.json", "-q"},
         "the sub-file header's marker is wrong",
         ""},
        {"a file reached through a link out of the folder",
         manifestWith([](nlohmann::json& m) {
             m["entries"][1]["file_hex"] = "6c696e6b2f736563726574";  // link/secret
         }),
         {"pack", "work/m.json", "-o", "new.dz"},
         "its file \"link/secret\" leaves the manifest's folder",
         ""},
        {"a manifest that names a key twice",
         [&] {
             std::string text = manifest.dump();
             text.insert(1, "\"kx_manifest\": 1, ");
             testsupport::writeFile(dir / "work/m.json", text);
         },
         {"pack", "work/m.json", "-o", "new.dz"},
         "not a manifest: the key \"kx_manifest\" is given twice",
         ""},
        {"a manifest above 16 MiB",
         [&] {
             testsupport::writeFile(dir / "work/m.json",
                                    manifest.dump() + std::string((16 << 20) + 1, ' '));
         },
         {"pack", "work/m.json", "-o", "new.dz"},
         "not a manifest: it is 16,",
         ""},
        {"a FIFO as the target",
         manifestWith([](nlohmann::json&) {}),
         {"pack", "work/m.json", "-o", "fifo", "--force"},
         "kx: fifo: it is not a regular file",
         ""},
        {"a bound of memory smaller than an entry",
         manifestWith([](nlohmann::json&) {}),
         {"pack", "work/m.json", "-o", "new.dz", "--memory", "64K", "--recompress"},
         "kx: entry 1: not enough memory to pack it (--memory sets the bound",
         ""},
        {"a folder as the target",
         manifestWith([](nlohmann::json&) {}),
         {"pack", "work/m.json", "-o", "folder", "--force"},
         "kx: folder: it is a folder",
         ""},
        {"the manifest as the target",
         nullptr,
         {"pack", "work/m.json", "-o", "work/m.json", "--force"},
         "kx: work/m.json: it is read by this run",
         "work/m.json"},
        {"a source as the target",
         nullptr,
         {"pack", "work/m.json", "-o", "work/boot.img", "--force"},
         "kx: work/boot.img: it is read by this run",
         "work/boot.img"},
        {"a manifest that names an output",
         nullptr,
         {"extract", "a.dz", "-C", "work", "--force", "--manifest", "work/boot.img"},
         "it is the container or an output of this run",
         "work/boot.img"},
        {"a manifest that names the container",
         nullptr,
         {"extract", "a.dz", "-C", ".", "--force", "--manifest", "a.dz"},
         "it is the container or an output of this run",
         "a.dz"},
        {"a manifest at a FIFO",
         nullptr,
         {"extract", "a.dz", "-C", ".", "--force", "--manifest", "fifo"},
         "kx: fifo: it is not a regular file",
         ""},
    };
    for (const Case& c : cases) {
        if (!posix && (c.said.find("fifo") != std::string::npos ||
                       c.said.find("link/") != std::string::npos)) {
            continue;
        }
        if (c.prepare) c.prepare();
        const std::string before = c.untouched.empty() ? "" : readFile(dir / c.untouched);
        testsupport::RunOptions options;
        options.timeLimit = 30;
        const testsupport::RunResult result = kx(c.arguments, options);
        EXPECT_EQ(result.status, 1) << c.what << ": " << result.errors;
        EXPECT_NE(result.errors.find(c.said), std::string::npos) << c.what << ": " << result.errors;
        EXPECT_FALSE(fs::exists(dir / "new.dz")) << c.what;
        if (posix) {
            EXPECT_TRUE(fs::is_fifo(dir / "fifo")) << c.what;
        }
        if (!c.untouched.empty()) {
            EXPECT_TRUE(holds(dir / c.untouched, before)) << c.what;
        }
    }
}

// Paths that are not UTF-8 go into the manifest as text and hex, and come back whole.
TEST_F(KxRoundTripTest, PathsThatAreNotUtf8GoThereAndBack) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "Windows paths are UTF-16";
    fs::rename(dir / "a.dz", dir / "a\xfe.dz");
    ASSERT_EQ(kx({"extract", "a\xfe.dz", "-C", "out\xff", "--manifest", "m.json", "-q"}).status, 0);
    const nlohmann::json manifest = nlohmann::json::parse(readFile(dir / "m.json"));
    EXPECT_EQ(manifest["entries"][0]["file"], "out\xef\xbf\xbd/system.img");
    EXPECT_EQ(manifest["entries"][0]["file_hex"], "6f7574ff2f73797374656d2e696d67");
    EXPECT_EQ(manifest["original"]["file_hex"], "61fe2e647a");
    const testsupport::RunResult result = kx({"pack", "m.json", "-o", "new.dz"});
    EXPECT_EQ(result.output.rfind("new.dz: packed 5 sub-files, ", 0), 0u) << result.output;
    EXPECT_NE(result.output.find(" bytes; 5 copied unchanged from the original\n"),
              std::string::npos)
        << result.output;
    EXPECT_TRUE(holds(dir / "new.dz", readFile(dir / "a\xfe.dz")));
}

// What happens to the files of a pack while it runs: a source written to fails it, and a file
// made at the target's name is not replaced.
TEST_F(KxRoundTripTest, WhatChangesWhileAPackRunsFailsIt) {
    ContainerPlan plan;
    plan.subfiles = {{"big.img", 1, bulky(48 << 20, 'z')}};
    write(buildContainer(plan));
    ASSERT_EQ(kx({"extract", "a.dz", "-C", "work", "--manifest", "work/m.json", "-q"}).status, 0);
    poke("work/big.img", 5);  // so that it must be compressed again
    struct Case {
        const char* what;
        std::function<void()> meanwhile;
        std::string said;
        std::string target;  // what new.dz holds afterwards; "" when it is missing
    };
    const Case cases[] = {
        {"a source written to",
         [this] {
             std::fstream file(dir / "work/big.img",
                               std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(1000);
             file.put('!');
         },
         "it changed while it was packed", ""},
        {"a file made at the target",
         [this] { testsupport::writeFile(dir / "new.dz", "made meanwhile"); },
         "kx: new.dz: it exists (--force replaces it)\n", "made meanwhile"},
    };
    for (const Case& c : cases) {
        fs::remove(dir / "new.dz");
        testsupport::RunOptions options;
        options.timeLimit = 120;
        options.duringRun = [&](int) {
            // Once the target's temporary file is there, the sources are open.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (temporaries(dir.path()).empty() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            c.meanwhile();
        };
        const testsupport::RunResult result =
            kx({"pack", "work/m.json", "-o", "new.dz", "--level", "9", "-j", "1"}, options);
        EXPECT_EQ(result.status, 1) << c.what << ": " << result.errors;
        EXPECT_NE(result.errors.find(c.said), std::string::npos) << c.what << ": " << result.errors;
        if (c.target.empty()) {
            EXPECT_FALSE(fs::exists(dir / "new.dz")) << c.what;
        } else {
            EXPECT_TRUE(holds(dir / "new.dz", c.target)) << c.what;
        }
        EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{}) << c.what;
    }
}

}  // namespace
}  // namespace e2e
