// The public API's writeOutputs: each output whole and proven before its name appears, whatever
// stands at the name and whatever `overwrite` says of it; a failed output leaves neither its name
// nor a temporary file; a joined output is its pieces in table order; the progress ends whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrix/kestrix.h"
#include "tests/support/container_writer.h"

namespace {

namespace fs = std::filesystem;
using kestrix::Outcome;
using kestrix::Overwrite;
using kestrix::Reason;
using testsupport::noise;
using testsupport::SubfilePlan;

// Every entry of a folder: a file by its bytes, a folder as "<folder>".
std::map<std::string, std::string> folderHolds(const fs::path& folder) {
    std::map<std::string, std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        found[name] =
            entry.is_directory() ? "<folder>" : testsupport::readFile(entry.path().string());
    }
    return found;
}

// A scratch folder, removed with what it holds.
struct Scratch {
    explicit Scratch(const std::string& name) : path(fs::temp_directory_path() / name) {
        fs::remove_all(path);
    }
    ~Scratch() { fs::remove_all(path); }
    fs::path path;
};

// boot.img; system.img in three pieces, one in a gzip wrapper; bad.bin, whose content does not
// match its digest; modem.bin.
class WriteOutputs : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::ContainerPlan plan;
        plan.subfiles = {{"boot.img", 1, noise(70 * 1024, 1)},
                         {"system.img", 3, noise(300 * 1024, 2)},
                         {"system.img", 3, std::string(200 * 1024, 's')},
                         {"bad.bin", 4, noise(1000, 3)},
                         {"system.img", 3, noise(1, 4)},
                         {"modem.bin", 2, noise(5000, 5)}};
        plan.subfiles[2].gzip = true;
        plan.subfiles[3].packed = testsupport::deflateContent(noise(1000, 6), false);
        for (const SubfilePlan& subfile : plan.subfiles) content[subfile.name] += subfile.content;
        content.erase("bad.bin");
        ASSERT_TRUE(testsupport::buildContainer(plan).writeTo(containerPath.string()));
        std::string error;
        ASSERT_TRUE(container.open(containerPath.string(), error)) << error;
        ASSERT_EQ(container.outputs().size(), 4u);
    }
    void TearDown() override {
        container = kestrix::Container();
        fs::remove(containerPath);
    }

    const fs::path containerPath = fs::temp_directory_path() / "kestrix-library-write.dz";
    kestrix::Container container;
    std::map<std::string, std::string> content;  // each good output's bytes
};

// "extracted 1234", "failed content-digest 3 ", "exists it exists": what became of an output.
std::string said(const kestrix::Written& written) {
    std::string text = kestrix::outcomeCode(written.outcome);
    if (written.outcome == Outcome::extracted) text += " " + std::to_string(written.size);
    if (written.outcome == Outcome::failed) {
        text += std::string(" ") + kestrix::reasonCode(written.reason) + " " +
                std::to_string(written.failedEntry);
    }
    if (!written.detail.empty()) text += " " + written.detail;
    return text;
}

TEST_F(WriteOutputs, EachOutputIsWholeOrNothingWhateverStandsAtItsName) {
    const std::string old = "what stood there";
    const std::string boot = "extracted " + std::to_string(content["boot.img"].size());
    const std::string modem = "extracted " + std::to_string(content["modem.bin"].size());
    // Before each run a file stands at boot.img, and a folder at modem.bin when `folderAtModem`.
    struct Case {
        Overwrite overwrite;
        bool folderAtModem;
        std::string boot;   // what became of boot.img
        std::string modem;  // ... and of modem.bin
    };
    const std::vector<Case> cases = {
        {Overwrite::refuse, false, "exists it exists", modem},
        {Overwrite::force, false, boot, modem},
        {Overwrite::keep, false, "kept it exists", modem},
        {Overwrite::refuse, true, "exists it exists", "exists it is a folder"},
        {Overwrite::force, true, boot, "failed write 5 it is a folder"},
        {Overwrite::keep, true, "kept it exists", "kept it is a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.boot + ", " + c.modem);
        Scratch scratch("kestrix-library-write");
        fs::create_directories(scratch.path);
        ASSERT_TRUE(testsupport::writeFile((scratch.path / "boot.img").string(), old));
        if (c.folderAtModem) fs::create_directory(scratch.path / "modem.bin");
        std::vector<kestrix::Progress> told;
        const std::vector<kestrix::Written> written = kestrix::writeOutputs(
            container, scratch.path.string(), {}, c.overwrite,
            [&](const kestrix::Progress& progress) { told.push_back(progress); });

        // system.img is its three pieces joined; bad.bin fails at its entry, 3.
        const std::vector<std::string> expected = {
            c.boot, "extracted " + std::to_string(content["system.img"].size()),
            "failed content-digest 3", c.modem};
        ASSERT_EQ(written.size(), expected.size());
        for (std::uint32_t o = 0; o < written.size(); ++o) {
            EXPECT_EQ(written[o].output, o);
            EXPECT_EQ(written[o].name, container.outputs()[o].name);
            EXPECT_EQ(said(written[o]), expected[o]);
        }
        // What the folder holds: nothing of the failed output, and no temporary file.
        const std::map<std::string, std::string> holds = {
            {"boot.img", c.boot == boot ? content["boot.img"] : old},
            {"system.img", content["system.img"]},
            {"modem.bin", c.folderAtModem ? "<folder>" : content["modem.bin"]}};
        EXPECT_TRUE(folderHolds(scratch.path) == holds);
        // The progress rises to its whole: the packed bytes of the outputs to write.
        ASSERT_FALSE(told.empty());
        for (std::size_t k = 1; k < told.size(); ++k) {
            EXPECT_GE(told[k].done, told[k - 1].done);
            EXPECT_EQ(told[k].total, told[0].total);
        }
        EXPECT_EQ(told.back().done, told.back().total);
    }
}

TEST_F(WriteOutputs, TheOutputsAskedForInTheirOrderIntoAFolderMadeForThem) {
    Scratch scratch("kestrix-library-write-chosen");
    const fs::path folder = scratch.path / "made" / "for them";
    const std::vector<kestrix::Written> written =
        kestrix::writeOutputs(container, folder.string(), {3, 1});
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(said(written[0]), "extracted " + std::to_string(content["modem.bin"].size()));
    EXPECT_EQ(said(written[1]), "extracted " + std::to_string(content["system.img"].size()));
    const std::map<std::string, std::string> holds = {{"modem.bin", content["modem.bin"]},
                                                      {"system.img", content["system.img"]}};
    EXPECT_TRUE(folderHolds(folder) == holds);
    EXPECT_THROW(kestrix::writeOutputs(container, folder.string(), {4}), std::out_of_range);

    // A folder that cannot be made fails every output asked for, writing nothing.
    const fs::path blocked = scratch.path / "a file";
    ASSERT_TRUE(testsupport::writeFile(blocked.string(), "x"));
    const std::vector<kestrix::Written> none =
        kestrix::writeOutputs(container, (blocked / "below").string(), {0});
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].outcome, Outcome::failed);
    EXPECT_EQ(none[0].reason, Reason::write);
    EXPECT_EQ(none[0].detail.rfind("cannot make or open the folder: ", 0), 0u) << none[0].detail;
}

}  // namespace
