// Damaged containers and failing output through the real program. Whatever the fault, the run
// ends with exactly one error line and exit status 1, every output file holds only verified
// bytes, and nothing outside the output folder changes.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using testsupport::buildContainer;
using testsupport::ContainerPlan;
using testsupport::put32;
using testsupport::reseal;
using testsupport::resealTable;
using Files = std::vector<std::string>;

// Three sub-files, the last two joined into one output; one with a gzip wrapper.
ContainerPlan smallPlan() {
    ContainerPlan plan;
    plan.subfiles = {{"boot.img", 1, "kernel and ramdisk"},
                     {"system.img", 3, "system, first half; "},
                     {"system.img", 3, "system, second half"}};
    plan.subfiles[1].gzip = true;
    return plan;
}

// Every line an error can take: the checks, extraction, and the output write.
bool isErrorOfTheProgram(const std::string& line) {
    static const std::set<std::string> fixed = {
        "Invalid markers in main header.",
        "Invalid MD5 hash in main header.",
        "Invalid end marker in offset-table.",
        "Invalid begin marker or size in offset-table.",
        "Invalid MD5 hash in offset-table.",
        "Invalid entry count in offset-table.",
        "Invalid marker in subfile-header.",
        "Invalid MD5 hash in subfile-header.",
        "Invalid file name in subfile-header.",
        "Invalid offset in offset-table.",
        "Unable to allocate memory for packed file.",
        "Unable to allocate memory for unpacking file.",
    };
    if (fixed.count(line) != 0) return true;
    for (const char* form :
         {"Error while unpacking \"", "Invalid MD5 hash in file \"", "Error while writing \""}) {
        const std::string prefix = form;
        if (line.compare(0, prefix.size(), prefix) == 0 && line.size() > prefix.size() + 2 &&
            line.compare(line.size() - 2, 2, "\".") == 0) {
            return true;
        }
    }
    return false;
}

// The error lines of an output, without their prefix and line end.
std::vector<std::string> errorLines(const std::string& output) {
    std::vector<std::string> lines;
    const std::string prefix = " [x] ";
    for (std::size_t at = output.find(prefix); at != std::string::npos;
         at = output.find(prefix, at + 1)) {
        const std::size_t end = output.find("\r\n", at);
        lines.push_back(output.substr(at + prefix.size(), end - at - prefix.size()));
    }
    return lines;
}

class FaultTest : public E2eTest {
  protected:
    void SetUp() override {
        plan = smallPlan();
        image = buildContainer(plan);
        valid = image.flat();
        tableAt = image.tableAt;
    }

    // Runs the program on `bytes` as container "a.dz" into "out", then checks that the
    // container is untouched and that "out" is the only thing the run may have added.
    testsupport::RunResult runOn(const std::string& bytes, testsupport::RunOptions options = {}) {
        std::filesystem::remove_all(dir / "out");
        write(bytes);
        const Files before = testsupport::listDirectory(dir.path());
        testsupport::RunResult result = run({"a.dz", "out"}, options);
        EXPECT_EQ(testsupport::readFile(dir / "a.dz"), bytes);
        Files after = testsupport::listDirectory(dir.path());
        after.erase(std::remove(after.begin(), after.end(), "out"), after.end());
        EXPECT_EQ(after, before);
        return result;
    }

    // What a run prints when a check before extraction fails.
    static std::string beforeExtraction(const std::string& message) {
        return opening() + error(message) + closing();
    }
    // What a run prints, and the files it leaves, when the sub-files before `failing` are good
    // and sub-file `failing` fails with `message`.
    std::string stopsAt(std::size_t failing, const std::string& message) const {
        std::string lines = opening() + heading();
        std::uint32_t mask = 0;
        std::set<std::string> written;
        for (std::size_t i = 0; i < failing; ++i) {
            const testsupport::SubfilePlan& subfile = plan.subfiles[i];
            lines += written.insert(subfile.name).second ? unpacking(subfile) : merging(subfile);
            mask |= 1u << (subfile.type - 1);
        }
        return lines + error(message) + summary(mask) + closing();
    }
    // The files a run leaves that stops at sub-file `failing` because its header fails: a
    // sub-file whose header fails is no piece of any output, and an output is written when all
    // its other pieces came before the stop.
    std::map<std::string, std::string> filesBefore(std::size_t failing) const {
        std::map<std::string, std::string> files;
        std::set<std::string> cut;
        for (std::size_t i = 0; i < plan.subfiles.size(); ++i) {
            if (i == failing) continue;
            const testsupport::SubfilePlan& subfile = plan.subfiles[i];
            if (i > failing) cut.insert(subfile.name);
            files[subfile.name] += subfile.content;
        }
        for (const std::string& name : cut) files.erase(name);
        return files;
    }
    // For each output name, the contents it may hold after a stop: any of its sub-files joined
    // in table order, as damage may leave a sub-file out of the output (its header fails).
    std::map<std::string, std::set<std::string>> wholeJoins() const {
        std::map<std::string, std::set<std::string>> joins;
        for (const testsupport::SubfilePlan& subfile : plan.subfiles) {
            std::set<std::string>& known = joins[subfile.name];
            std::set<std::string> longer = {subfile.content};
            for (const std::string& join : known) longer.insert(join + subfile.content);
            known.insert(longer.begin(), longer.end());
        }
        return joins;
    }
    std::map<std::string, std::string> outputFiles() const {
        std::map<std::string, std::string> files;
        for (const std::string& name : testsupport::listDirectory(dir / "out")) {
            files[name] = testsupport::readFile(dir / ("out/" + name));
        }
        return files;
    }

    ContainerPlan plan;
    testsupport::ContainerImage image;
    std::string valid;
    std::size_t tableAt = 0;
};

TEST_F(FaultTest, TheUndamagedContainerUnpacksWhole) {
    testsupport::RunResult result = runOn(valid);
    EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) +
                                 unpacking(plan.subfiles[1]) + merging(plan.subfiles[2]) +
                                 summary(0x5) + closing());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(outputFiles(), filesBefore(3));
}

TEST_F(FaultTest, ACutContainerFailsItsFirstCheck) {
    std::set<std::size_t> cuts = {0,
                                  1,
                                  4,
                                  7,
                                  8,
                                  299,
                                  300,
                                  301,
                                  315,
                                  316,
                                  tableAt,
                                  tableAt + 4,
                                  tableAt + 20,
                                  valid.size() - 8,
                                  valid.size() - 4,
                                  valid.size() - 1};
    for (std::uint64_t at : image.subfileAt) {
        for (std::uint64_t offset : {0, 4, 16, 20, 164, 180, 196, 197}) cuts.insert(at + offset);
    }
    std::mt19937 random(7);
    for (int i = 0; i < 24; ++i) cuts.insert(random() % valid.size());
    for (std::size_t cut : cuts) {
        // The last four bytes of a cut container are never the end marker.
        const char* message = cut < 8     ? "Invalid markers in main header."
                              : cut < 316 ? "Invalid MD5 hash in main header."
                                          : "Invalid end marker in offset-table.";
        testsupport::RunResult result = runOn(valid.substr(0, cut));
        EXPECT_EQ(result.output, beforeExtraction(message)) << "cut at " << cut;
        EXPECT_EQ(result.status, 1) << "cut at " << cut;
        EXPECT_FALSE(std::filesystem::exists(dir / "out")) << "cut at " << cut;
    }
}

TEST_F(FaultTest, EachMarkerSizeOffsetAndDigestByteDamagedInTurn) {
    struct Field {
        const char* what;
        std::size_t position;
        std::size_t length;
        std::string expected;                      // the whole output
        std::map<std::string, std::string> files;  // the output folder afterwards
    };
    const std::size_t body = tableAt + 20;
    std::vector<Field> fields = {
        {"main markers", 0, 8, beforeExtraction("Invalid markers in main header."), {}},
        {"version and count", 8, 8, beforeExtraction("Invalid MD5 hash in main header."), {}},
        {"main digest", 300, 16, beforeExtraction("Invalid MD5 hash in main header."), {}},
        {"table begin marker",
         tableAt,
         4,
         beforeExtraction("Invalid begin marker or size in offset-table."),
         {}},
        {"table digest",
         tableAt + 4,
         16,
         beforeExtraction("Invalid MD5 hash in offset-table."),
         {}},
        {"entry count", body, 4, beforeExtraction("Invalid MD5 hash in offset-table."), {}},
        {"entries", body + 4, 24, beforeExtraction("Invalid MD5 hash in offset-table."), {}},
        {"table size",
         valid.size() - 8,
         4,
         beforeExtraction("Invalid begin marker or size in offset-table."),
         {}},
        {"end marker",
         valid.size() - 4,
         4,
         beforeExtraction("Invalid end marker in offset-table."),
         {}},
    };
    for (std::size_t i = 0; i < plan.subfiles.size(); ++i) {
        const std::size_t at = image.subfileAt[i];
        const std::string header = "Invalid MD5 hash in subfile-header.";
        fields.push_back({"sub-file marker", at, 4, stopsAt(i, "Invalid marker in subfile-header."),
                          filesBefore(i)});
        fields.push_back({"packed size", at + 16, 4, stopsAt(i, header), filesBefore(i)});
        fields.push_back({"content digest", at + 164, 16, stopsAt(i, header), filesBefore(i)});
        fields.push_back({"header digest", at + 180, 16, stopsAt(i, header), filesBefore(i)});
    }
    for (const Field& field : fields) {
        for (std::size_t at = field.position; at < field.position + field.length; ++at) {
            std::string bytes = valid;
            bytes[at] = static_cast<char>(bytes[at] ^ 0xFF);
            testsupport::RunResult result = runOn(bytes);
            EXPECT_EQ(result.output, field.expected) << field.what << ", byte " << at;
            EXPECT_EQ(result.status, 1) << field.what << ", byte " << at;
            EXPECT_EQ(outputFiles(), field.files) << field.what << ", byte " << at;
        }
    }
}

// Damage behind a digest that is then made right again, so that it reaches the checks and the
// unpacking behind it; and damage to the packed bytes, which no header digest covers. The
// outcome depends on the bytes, but it is always a clean success or one error line, and an
// output file only ever holds whole verified sub-files.
TEST_F(FaultTest, DamageBehindARightDigestNeverWritesUnverifiedBytes) {
    struct Damage {
        std::string what;
        std::function<void(std::string&)> apply;  // damages the bytes, then repairs a digest
    };
    std::vector<Damage> damages;
    // Each byte in [from, to) flipped in turn, then `repair`.
    const auto flipEach = [&damages](const std::string& what, std::size_t from, std::size_t to,
                                     const std::function<void(std::string&)>& repair) {
        for (std::size_t at = from; at < to; ++at) {
            damages.push_back({what + ", byte " + std::to_string(at), [at, repair](std::string& b) {
                                   b[at] = static_cast<char>(b[at] ^ 0xFF);
                                   repair(b);
                               }});
        }
    };
    const std::size_t body = tableAt + 20;
    flipEach("table count or entry", body, body + 28, resealTable);
    for (std::size_t i = 0; i < plan.subfiles.size(); ++i) {
        const std::size_t at = image.subfileAt[i];
        const auto resealHeader = [at](std::string& bytes) { reseal(bytes, at, 180); };
        flipEach("packed size", at + 16, at + 20, resealHeader);
        flipEach("content digest", at + 164, at + 180, resealHeader);
        const std::size_t end = i + 1 < image.subfileAt.size() ? image.subfileAt[i + 1] : tableAt;
        flipEach("packed data", at + 196, end, [](std::string&) {});
        // A packed size that stops short of the stream's end.
        const std::size_t packed = end - at - 196;
        for (std::size_t size :
             {std::size_t{1}, std::size_t{2}, packed / 2, packed - 4, packed - 1}) {
            damages.push_back({"packed size " + std::to_string(size) + " at " + std::to_string(at),
                               [at, size, resealHeader](std::string& bytes) {
                                   put32(bytes, at + 16, static_cast<std::uint32_t>(size));
                                   resealHeader(bytes);
                               }});
        }
    }
    const std::map<std::string, std::string> whole = filesBefore(3);
    const std::map<std::string, std::set<std::string>> allowed = wholeJoins();
    for (const Damage& damage : damages) {
        const std::string& where = damage.what;
        std::string bytes = valid;
        damage.apply(bytes);
        testsupport::RunResult result = runOn(bytes);
        const std::vector<std::string> errors = errorLines(result.output);
        if (result.status == 0) {
            EXPECT_TRUE(errors.empty()) << where;
            EXPECT_EQ(outputFiles(), whole) << where;
            continue;
        }
        EXPECT_EQ(result.status, 1) << where;
        ASSERT_EQ(errors.size(), 1u) << where << "\n" << result.output;
        EXPECT_TRUE(isErrorOfTheProgram(errors[0])) << where << ": " << errors[0];
        for (const auto& [name, content] : outputFiles()) {
            ASSERT_EQ(allowed.count(name), 1u) << where << ": " << name;
            EXPECT_EQ(allowed.at(name).count(content), 1u)
                << where << ": " << name << " holds unverified bytes";
        }
    }
}

TEST_F(FaultTest, AReadOnlyOutputFolderStopsAtTheFirstWrite) {
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "POSIX permissions";
    // The child runs as "nobody" when the tests run as root, for whom no folder is read-only.
    namespace fs = std::filesystem;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    write(valid);
    fs::create_directory(dir / "out");
    fs::permissions(dir / "out", fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    testsupport::RunOptions options;
    options.unprivileged = true;
    testsupport::RunResult result = run({"a.dz", "out"}, options);
    fs::permissions(dir / "out", fs::perms::owner_all);
    EXPECT_EQ(result.output, opening() + heading() + unpacking(plan.subfiles[0]) +
                                 error("Error while writing \"boot.img\".") + summary(0) +
                                 closing());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(testsupport::listDirectory(dir / "out"), Files{});
}

TEST_F(FaultTest, MemoryThatCannotBeHadStopsExtraction) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
    if (testsupport::testingWindowsProgram()) GTEST_SKIP() << "address-space limits are POSIX";
    // 1 GiB of address space: neither a 4095 MiB working size nor a packed size of nearly
    // 4 GiB can be had.
    const std::string program = dir / testsupport::programFileName();
    std::filesystem::copy_file(testsupport::programUnderTest(), program);
    testsupport::RunOptions options;
    options.program = program;
    options.addressSpaceLimit = 1ull << 30;

    testsupport::writeFile(dir / testsupport::settingsFileName(), "[main]\nworkmem=4095\n");
    testsupport::RunResult result = runOn(valid, options);
    EXPECT_EQ(result.output, opening("a.dz", 4095) + heading() +
                                 error("Unable to allocate memory for unpacking file.") +
                                 summary(0) + closing("a.dz"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(outputFiles(), (std::map<std::string, std::string>{}));

    std::filesystem::remove(dir / testsupport::settingsFileName());
    std::string bytes = valid;
    put32(bytes, image.subfileAt[0] + 16, 0xFFFFFFF0u);
    reseal(bytes, image.subfileAt[0], 180);
    result = runOn(bytes, options);
    EXPECT_EQ(result.output, opening() + heading() +
                                 error("Unable to allocate memory for packed file.") + summary(0) +
                                 closing());
    EXPECT_EQ(result.status, 1);
}

}  // namespace
}  // namespace e2e
