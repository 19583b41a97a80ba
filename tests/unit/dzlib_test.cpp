// What the container library returns for each fault: the checks, the plan, the unpacking and
// the output writer, on containers made by the test container writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "dzlib/checks.h"
#include "dzlib/output_writer.h"
#include "dzlib/plan.h"
#include "dzlib/unpack.h"
#include "tests/support/container_writer.h"

namespace dz {
namespace {

namespace fs = std::filesystem;
using testsupport::buildContainer;
using testsupport::ContainerPlan;

// A folder of its own for each test, removed afterwards.
class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("dzlib-test-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    // Writes the bytes as a container and opens it.
    bool openContainer(const std::string& bytes, Container& container) {
        const std::string path = (folder / "a.dz").string();
        container.close();
        return testsupport::writeFile(path, bytes) && container.open(path.c_str());
    }

    fs::path folder;
};

ContainerPlan threeSubfiles() {
    ContainerPlan plan;
    plan.subfiles = {{"system.img", 3, "first half, "},
                     {"boot.img", 1, "kernel"},
                     {"system.img", 3, "second half"}};
    return plan;
}

TEST_F(LibraryTest, ChecksNameTheFirstFailingTest) {
    const testsupport::ContainerImage image = buildContainer(threeSubfiles());
    const std::string valid = image.flat();
    const std::size_t body = image.tableAt + 20;
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        Fault mainHeader, table;
    };
    const Case cases[] = {
        {"valid", [](std::string&) {}, Fault::none, Fault::none},
        {"empty", [](std::string& b) { b.clear(); }, Fault::mainHeaderMarkers,
         Fault::tableEndMarker},
        {"main digest", [](std::string& b) { b[300] ^= 1; }, Fault::mainHeaderDigest, Fault::none},
        {"end marker", [](std::string& b) { b.back() = 'Y'; }, Fault::none, Fault::tableEndMarker},
        {"table size", [](std::string& b) { testsupport::put32(b, b.size() - 8, 1029); },
         Fault::none, Fault::tableBeginMarkerOrSize},
        {"table digest", [&](std::string& b) { b[image.tableAt + 4] ^= 1; }, Fault::none,
         Fault::tableDigest},
        {"entry count",
         [&](std::string& b) {
             testsupport::put32(b, body, 4);
             testsupport::resealTable(b);
         },
         Fault::none, Fault::tableEntryCount},
    };
    for (const Case& c : cases) {
        std::string bytes = valid;
        c.damage(bytes);
        Container container;
        ASSERT_TRUE(openContainer(bytes, container)) << c.what;
        MainHeader header{};
        OffsetTable table{};
        EXPECT_EQ(verifyMainHeader(container, header), c.mainHeader) << c.what;
        EXPECT_EQ(verifyOffsetTable(container, table), c.table) << c.what;
    }
}

TEST_F(LibraryTest, ThePlanGroupsPiecesAndNamesEachEntrysFault) {
    ContainerPlan plan = threeSubfiles();
    plan.subfiles.push_back({"..", 2, "refused"});
    plan.subfiles.push_back({std::string(20, 'n'), 4, "too long for the room left"});
    testsupport::ContainerImage image = buildContainer(plan);
    std::string bytes = image.flat();
    Container container;
    ASSERT_TRUE(openContainer(bytes, container));
    OffsetTable table{};
    ASSERT_EQ(verifyOffsetTable(container, table), Fault::none);
    ExtractionPlan planned = planExtraction(container, table, HeaderReading::fresh, 19);
    ASSERT_EQ(planned.entries.size(), 5u);
    EXPECT_EQ(planned.entries[3].fault, Fault::fileName);
    EXPECT_EQ(planned.entries[4].fault, Fault::fileName);
    ASSERT_EQ(planned.outputs.size(), 2u);
    EXPECT_EQ(planned.outputs[0].name, "system.img");
    EXPECT_EQ(planned.outputs[0].pieces, (std::vector<std::uint32_t>{0, 2}));
    EXPECT_EQ(planned.outputs[1].pieces, std::vector<std::uint32_t>{1});

    // A damaged header is no piece; an entry past the end keeps the previous header's bytes
    // when headers carry over, and reads as zeros when each is fresh.
    bytes[image.subfileAt[2]] = 'X';
    testsupport::put32(bytes, image.tableAt + 20 + 4 + 8 * 1 + 4,
                       static_cast<std::uint32_t>(bytes.size()));
    testsupport::resealTable(bytes);
    ASSERT_TRUE(openContainer(bytes, container));
    ASSERT_EQ(verifyOffsetTable(container, table), Fault::none);
    for (auto [reading, pastTheEnd] :
         {std::pair{HeaderReading::carryOver, Fault::subfileHeaderDigest},
          std::pair{HeaderReading::fresh, Fault::subfileMarker}}) {
        planned = planExtraction(container, table, reading, 255);
        EXPECT_EQ(planned.entries[1].fault, pastTheEnd);
        EXPECT_EQ(planned.entries[2].fault, Fault::subfileMarker);
        EXPECT_EQ(planned.outputs[0].pieces, std::vector<std::uint32_t>{0});
    }
}

TEST_F(LibraryTest, UnpackingNamesTheStreamOrTheDigest) {
    SubfileHeader header{};
    const std::string content = "unpacked content";
    const std::string digest = testsupport::md5Of(content);
    std::copy(digest.begin(), digest.end(), header.unpackedDigest);
    std::string damaged = testsupport::deflateContent(content, true);
    damaged[damaged.size() - 1] ^= 1;  // the gzip length
    struct Case {
        const char* what;
        std::string packed;
        std::size_t capacity;
        Fault fault;
    };
    const Case cases[] = {
        {"whole", testsupport::deflateContent(content, false), content.size(), Fault::none},
        {"one byte short of room", testsupport::deflateContent(content, false), content.size() - 1,
         Fault::unpack},
        {"damaged wrapper", damaged, 64, Fault::unpack},
        {"other content", testsupport::deflateContent("other content", false), 64,
         Fault::contentDigest},
    };
    for (const Case& c : cases) {
        std::string out(64, '\0');
        std::size_t length = 0;
        EXPECT_EQ(unpackSubfile(header, reinterpret_cast<const std::uint8_t*>(c.packed.data()),
                                c.packed.size(), reinterpret_cast<std::uint8_t*>(out.data()),
                                c.capacity, length),
                  c.fault)
            << c.what;
        if (c.fault == Fault::none) {
            EXPECT_EQ(out.substr(0, length), content);
        }
    }
    EXPECT_TRUE(overlaps({10, 206}, {10, 206}));
    EXPECT_TRUE(overlaps({10, 206}, {205, 401}));
    EXPECT_FALSE(overlaps({10, 206}, {206, 402}));
}

TEST_F(LibraryTest, AnOutputAppearsWholeOrNotAtAll) {
    testsupport::writeFile((folder / "kept.img").string(), "earlier");
    fs::create_directory(folder / "folder.img");
    OutputFolder outputs;
    ASSERT_TRUE(outputs.open(folder.string().c_str(), ".test-"));

    PendingOutput discarded = outputs.begin("kept.img");
    ASSERT_TRUE(discarded.isOpen());
    EXPECT_TRUE(discarded.append("partial", 7));
    discarded.discard();
    EXPECT_EQ(testsupport::readFile((folder / "kept.img").string()), "earlier");

    EXPECT_FALSE(outputs.begin("folder.img").isOpen());
    {
        PendingOutput dropped = outputs.begin("new.img");
        EXPECT_TRUE(dropped.append("never", 5));
    }
    PendingOutput written = outputs.begin("kept.img");
    EXPECT_TRUE(written.append("new ", 4) && written.append("content", 7));
    EXPECT_TRUE(written.commit());
    EXPECT_EQ(testsupport::readFile((folder / "kept.img").string()), "new content");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"folder.img", "kept.img"}));
}

TEST_F(LibraryTest, ACommitThatMustNotReplaceLeavesWhatAppearedMeanwhile) {
    enum class Appeared { nothing, file, folder, link };
    struct Case {
        Appeared appeared;  // made at the final name after the output began
        Existing existing;
        bool committed;
        bool taken;
        const char* after;  // what the final name holds then ("" for a folder or a link)
    };
    const Case cases[] = {
        {Appeared::nothing, Existing::refuse, true, false, "new"},
        {Appeared::file, Existing::refuse, false, true, "theirs"},
        {Appeared::folder, Existing::refuse, false, true, ""},
        {Appeared::link, Existing::refuse, false, true, ""},
        {Appeared::file, Existing::replace, true, false, "new"},
    };
    OutputFolder outputs;
    ASSERT_TRUE(outputs.open(folder.string().c_str(), ".test-"));
    for (const Case& c : cases) {
        const std::string label = std::to_string(&c - cases);
#ifdef _WIN32
        if (c.appeared == Appeared::link) continue;  // links need a privilege there
#endif
        const fs::path name = folder / "out.img";
        fs::remove_all(name);
        PendingOutput output = outputs.begin("out.img");
        ASSERT_TRUE(output.isOpen()) << label;
        EXPECT_TRUE(output.append("new", 3)) << label;
        if (c.appeared == Appeared::file) testsupport::writeFile(name.string(), "theirs");
        if (c.appeared == Appeared::folder) fs::create_directory(name);
        if (c.appeared == Appeared::link) fs::create_symlink("nowhere", name);
        EXPECT_EQ(output.commit(c.existing), c.committed) << label;
        EXPECT_EQ(output.nameTaken(), c.taken) << label;
        EXPECT_FALSE(output.isOpen()) << label;
        if (*c.after != '\0') {
            EXPECT_EQ(testsupport::readFile(name.string()), c.after) << label;
        } else {
            EXPECT_EQ(fs::is_symlink(name), c.appeared == Appeared::link) << label;
            EXPECT_EQ(fs::is_directory(name), c.appeared == Appeared::folder) << label;
        }
        // The temporary file is gone, whichever way the commit went.
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
            << label;
    }
}

}  // namespace
}  // namespace dz
