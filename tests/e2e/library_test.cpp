// The public API beside the real kx: pack gives the bytes kx pack gives for the same manifest,
// files and options, and refuses what kx pack refuses with the same words; writeOutputs writes
// what kx extract writes, with the same outcome for each output.
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "kestrix/kestrix.h"
#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::readFile;

class LibraryTest : public E2eTest {
  protected:
    void SetUp() override { write(buildContainer(splitImageFirmware())); }
    // This build's own kx, as the library is this build's.
    testsupport::RunResult kx(const std::vector<std::string>& arguments) {
        testsupport::RunOptions options;
        options.program = testsupport::nativeKx();
        return run(arguments, options);
    }
};

TEST_F(LibraryTest, PackGivesTheBytesKxPackGives) {
    struct Case {
        const char* what;
        std::vector<std::string> extracted;  // the names kx extract is given (none: all)
        std::function<void()> change;
        int level;
        bool base;  // the original moved, and named
    };
    const Case cases[] = {
        {"nothing changed", {}, nullptr, 6, false},
        {"a byte of a piece changed", {}, [this] { poke("work/system.img", 400000); }, 9, false},
        {"the boot image rewritten",
         {},
         [this] { testsupport::writeFile(dir / "work/boot.img", "another kernel"); },
         0,
         false},
        {"only the image extracted, the original moved",
         {"system.img"},
         [this] { poke("work/system.img", 10); },
         1,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write(buildContainer(splitImageFirmware()));
        fs::remove_all(dir / "work");
        std::vector<std::string> extract = {"extract",    "a.dz",        "-C", "work",
                                            "--manifest", "work/m.json", "-q"};
        extract.insert(extract.end(), c.extracted.begin(), c.extracted.end());
        ASSERT_EQ(kx(extract).status, 0);
        if (c.change) c.change();
        std::vector<std::string> pack = {"pack",    "work/m.json",          "-o", "kx.dz", "--json",
                                         "--level", std::to_string(c.level)};
        std::optional<std::string> base;
        if (c.base) {
            fs::rename(dir / "a.dz", dir / "moved.dz");
            base = dir / "moved.dz";
            pack.insert(pack.end(), {"--base", "moved.dz"});
        }
        const testsupport::RunResult byKx = kx(pack);
        ASSERT_EQ(byKx.status, 0) << byKx.errors;
        const nlohmann::json document = nlohmann::json::parse(byKx.output);

        std::uint64_t lastDone = 0;
        std::uint64_t total = 0;
        const kestrix::PackResult result =
            kestrix::pack(dir / "work/m.json", dir / "api.dz", c.level, base,
                          [&](const kestrix::Progress& progress) {
                              EXPECT_GE(progress.done, lastDone);
                              lastDone = progress.done;
                              total = progress.total;
                          });
        ASSERT_TRUE(result.ok) << result.message;
        EXPECT_EQ(result.code, "ok");
        EXPECT_TRUE(readFile(dir / "api.dz") == readFile(dir / "kx.dz"));
        EXPECT_EQ(result.entries, document["entries"]);
        EXPECT_EQ(result.copied, document["copied"]);
        EXPECT_EQ(result.bytes, document["bytes"]);
        EXPECT_EQ(lastDone, total);
        EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
        fs::remove(dir / "api.dz");
        fs::remove(dir / "kx.dz");
    }
}

TEST_F(LibraryTest, PackRefusesWhatKxPackRefusesWithItsWords) {
    ASSERT_EQ(kx({"extract", "a.dz", "system.img", "-C", "work", "--manifest", "work/m.json", "-q"})
                  .status,
              0);
    const std::string manifest = dir / "work/m.json";
    const std::string valid = readFile(manifest);
    const std::string target = dir / "new.dz";
    struct Case {
        const char* what;
        std::function<void()> change;
        std::string code;
    };
    const Case cases[] = {
        {"not a manifest", [&] { testsupport::writeFile(manifest, "{"); }, "manifest"},
        {"a file that leaves the folder",
         [&] {
             nlohmann::json m = nlohmann::json::parse(valid);
             m["entries"][0]["file_hex"] = "2e2e2f612e647a";
             testsupport::writeFile(manifest, m.dump());
         },
         "refused"},
        {"the original gone", [&] { fs::remove(dir / "a.dz"); }, "original"},
        {"the target exists", [&] { testsupport::writeFile(target, "earlier"); }, "exists"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write(buildContainer(splitImageFirmware()));
        testsupport::writeFile(manifest, valid);
        fs::remove(target);
        c.change();
        const bool targetStood = fs::exists(target);
        const testsupport::RunResult byKx = kx({"pack", manifest, "-o", target});
        EXPECT_EQ(byKx.status, 1);
        const kestrix::PackResult result = kestrix::pack(manifest, target);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.code, c.code);
        ASSERT_FALSE(result.refusals.empty());
        // kx says each refusal on a line of its own, and how its own option replaces a target
        // that exists; the result's message has them all, with no program's options.
        std::string said;
        std::string message;
        for (const kestrix::PackRefusal& refusal : result.refusals) {
            if (refusal.code == "exists") {
                EXPECT_EQ(refusal.what, "it exists");
            }
            const char* hint = refusal.code == "exists" ? " (--force replaces it)" : "";
            said += "kx: " + refusal.subject + ": " + refusal.what + hint + "\n";
            message += (message.empty() ? "" : "\n") + refusal.subject + ": " + refusal.what;
        }
        EXPECT_EQ(said, byKx.errors);
        EXPECT_EQ(result.message, message);
        EXPECT_EQ(fs::exists(target), targetStood);
        EXPECT_EQ(temporaries(dir.path()), std::vector<std::string>{});
    }
    const kestrix::PackResult level = kestrix::pack(manifest, target, 10);
    EXPECT_EQ(level.code, "usage");
    EXPECT_EQ(level.message, "level: a deflate level is 0 to 9, not 10");
}

// kx extract --json's status for each output, and writeOutputs' outcome in the same words: "ok",
// "kept", or the failed piece's reason code.
std::string statusOf(const kestrix::Written& written) {
    switch (written.outcome) {
        case kestrix::Outcome::extracted:
            return "ok";
        case kestrix::Outcome::failed:
            return kestrix::reasonCode(written.reason);
        default:
            return kestrix::outcomeCode(written.outcome);
    }
}

TEST_F(LibraryTest, WriteOutputsWritesWhatKxExtractWrites) {
    ContainerPlan plan = splitImageFirmware();
    plan.subfiles.push_back({"bad.bin", 4, "its digest is another's"});
    plan.subfiles.back().packed = testsupport::deflateContent("something else", false);
    write(buildContainer(plan));
    struct Case {
        const char* option;
        kestrix::Overwrite overwrite;
    };
    const Case cases[] = {{"--force", kestrix::Overwrite::force},
                          {"--keep", kestrix::Overwrite::keep}};
    // A link stands at boot.img: kept, or replaced, never followed.
    testsupport::writeFile(dir / "outside", "what stood there");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        for (const char* folder : {"kx", "api"}) {
            fs::remove_all(dir / folder);
            fs::create_directory(dir / folder);
            fs::create_symlink("../outside", dir / folder + "/boot.img");
        }
        const testsupport::RunResult byKx = kx({"extract", "a.dz", "-C", "kx", c.option, "--json"});
        EXPECT_EQ(byKx.status, 1);  // bad.bin
        const nlohmann::json document = nlohmann::json::parse(byKx.output);

        kestrix::Container container;
        std::string error;
        ASSERT_TRUE(container.open(dir / "a.dz", error)) << error;
        const std::vector<kestrix::Written> written =
            kestrix::writeOutputs(container, dir / "api", {}, c.overwrite);
        ASSERT_EQ(written.size(), document["outputs"].size());
        for (std::size_t o = 0; o < written.size(); ++o) {
            EXPECT_EQ(written[o].name, document["outputs"][o]["name"]);
            EXPECT_EQ(statusOf(written[o]), document["outputs"][o]["status"]) << written[o].name;
        }
        EXPECT_TRUE(filesIn(dir / "api") == filesIn(dir / "kx"));
        EXPECT_EQ(fs::is_symlink(dir / "api/boot.img"), fs::is_symlink(dir / "kx/boot.img"));
        EXPECT_EQ(readFile(dir / "outside"), "what stood there");
    }
}

}  // namespace
}  // namespace e2e
