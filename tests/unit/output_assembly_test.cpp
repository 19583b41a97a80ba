// One output's assembly, without threads: its pieces placed in table order, written a slice at a
// time and ended in various orders, some failing. The first failure in table order is the one
// reported whatever order the failures came in, the last piece to end settles the output exactly
// once, and an output with a failed piece leaves nothing behind.
#include "kx/output_assembly.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kx::Outcome;

const char kName[] = "joined.bin";

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string joined(const std::vector<std::string>& pieces) {
    std::string all;
    for (const std::string& piece : pieces) all += piece;
    return all;
}

// How an output is made in a case: written into a folder (as kx extract into a folder), only
// proven (measured for the manifest), or written elsewhere by the caller (as to standard output).
enum class Target { folder, measured, elsewhere };

struct Case {
    std::string what;
    std::vector<std::string> pieces;                // their content, in table order
    std::vector<std::size_t> order;                 // the order the pieces are written and end in
    std::map<std::size_t, dz::Fault> inflateFails;  // by piece: failed as it was inflated
    std::map<std::size_t, dz::Fault> endFails;      // by piece: failed at its end (its digest)
    Outcome outcome;
    std::size_t failedPiece = 0;  // with Outcome::failed
    dz::Fault fault = dz::Fault::none;
    Target target = Target::folder;
    bool madeMeanwhile = false;  // another program makes a file at the name before the last end
    bool force = false;
    bool keep = false;
};

TEST(OutputAssemblyTest, PiecesInAnyOrderMakeTheWholeOutputOrNothing) {
    const std::vector<std::string> three = {std::string(10000, 'a'), "bbbbbbb",
                                            std::string(5000, 'c')};
    const std::vector<Case> cases = {
        {"in table order", three, {0, 1, 2}, {}, {}, Outcome::extracted},
        {"the last first", three, {2, 0, 1}, {}, {}, Outcome::extracted},
        {"the first last", three, {1, 2, 0}, {}, {}, Outcome::extracted},
        {"one piece", {"only"}, {0}, {}, {}, Outcome::extracted},
        {"empty pieces make an empty file", {"", ""}, {1, 0}, {}, {}, Outcome::extracted},
        {"empty pieces among others", {"", "xyz", ""}, {2, 1, 0}, {}, {}, Outcome::extracted},
        {"a failed digest",
         three,
         {0, 1, 2},
         {},
         {{1, dz::Fault::contentDigest}},
         Outcome::failed,
         1,
         dz::Fault::contentDigest},
        {"a failure in a later piece found first: the earlier is reported",
         three,
         {2, 0, 1},
         {},
         {{2, dz::Fault::contentDigest}, {1, dz::Fault::contentDigest}},
         Outcome::failed,
         1,
         dz::Fault::contentDigest},
        {"a failure in an earlier piece found first stays the one reported",
         three,
         {0, 1, 2},
         {},
         {{0, dz::Fault::contentDigest}, {2, dz::Fault::contentDigest}},
         Outcome::failed,
         0,
         dz::Fault::contentDigest},
        {"a failed inflate stays the one reported over a later failed digest",
         three,
         {2, 0, 1},
         {{1, dz::Fault::unpack}},
         {{2, dz::Fault::contentDigest}},
         Outcome::failed,
         1,
         dz::Fault::unpack},
        {"the failed piece ends last",
         three,
         {1, 2, 0},
         {},
         {{0, dz::Fault::contentDigest}},
         Outcome::failed,
         0,
         dz::Fault::contentDigest},
        {"a failed inflate of the first piece",
         three,
         {1, 0, 2},
         {{0, dz::Fault::unpack}},
         {},
         Outcome::failed,
         0,
         dz::Fault::unpack},
        {"a file made at the name meanwhile is left as it is",
         three,
         {2, 1, 0},
         {},
         {},
         Outcome::exists,
         0,
         dz::Fault::none,
         Target::folder,
         true},
        {"... and the output kept with --keep",
         three,
         {0, 1, 2},
         {},
         {},
         Outcome::kept,
         0,
         dz::Fault::none,
         Target::folder,
         true,
         false,
         true},
        {"... and replaced with --force",
         three,
         {0, 2, 1},
         {},
         {},
         Outcome::extracted,
         0,
         dz::Fault::none,
         Target::folder,
         true,
         true},
        {"measured: sizes, and nothing written",
         three,
         {2, 1, 0},
         {},
         {},
         Outcome::notChosen,
         0,
         dz::Fault::none,
         Target::measured},
        {"measured, a failure recorded",
         three,
         {2, 1, 0},
         {},
         {{2, dz::Fault::contentDigest}},
         Outcome::notChosen,
         2,
         dz::Fault::contentDigest,
         Target::measured},
        {"written elsewhere: settled by its last piece",
         three,
         {0, 1, 2},
         {},
         {},
         Outcome::extracted,
         0,
         dz::Fault::none,
         Target::elsewhere},
        {"written elsewhere, a piece failed",
         three,
         {0, 1, 2},
         {},
         {{1, dz::Fault::write}},
         Outcome::failed,
         1,
         dz::Fault::write,
         Target::elsewhere},
    };
    const fs::path folderPath = fs::temp_directory_path() / "kestrix-output-assembly-test";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folderPath);
        fs::create_directories(folderPath);
        dz::OutputFolder folder;
        ASSERT_TRUE(folder.open(folderPath.string().c_str(), ".kx-"));
        // The pieces are entries 4, 6, 8...: what is reported is an entry.
        std::vector<std::uint32_t> entries;
        for (std::size_t p = 0; p < c.pieces.size(); ++p) {
            entries.push_back(static_cast<std::uint32_t>(4 + 2 * p));
        }
        kx::OutputAssembly output(entries);
        if (c.target == Target::measured) {
            output.measure();
        } else {
            output.choose();
        }
        if (c.target == Target::folder) {
            output.writeTo({&folder, kName, nullptr, c.force, c.keep});
        }
        const auto faultOf = [](const std::map<std::size_t, dz::Fault>& faults, std::size_t p) {
            const auto found = faults.find(p);
            return found == faults.end() ? dz::Fault::none : found->second;
        };
        // Placed in table order, as the prover inflates them.
        for (std::size_t p = 0; p < c.pieces.size(); ++p) {
            output.place(p, faultOf(c.inflateFails, p), c.pieces[p].size());
        }
        // The first half of each piece written in the case's order, then the second half of each,
        // each piece ending after it: the writes of pieces go side by side.
        const auto bytesOf = [&](std::size_t p) {
            return reinterpret_cast<const std::uint8_t*>(c.pieces[p].data());
        };
        for (const std::size_t p : c.order) {
            if (faultOf(c.inflateFails, p) != dz::Fault::none) continue;
            output.write(p, 0, bytesOf(p), c.pieces[p].size() / 2);
        }
        std::vector<bool> settled;
        for (const std::size_t p : c.order) {
            const std::size_t half = c.pieces[p].size() / 2;
            if (faultOf(c.inflateFails, p) == dz::Fault::none) {
                output.write(p, half, bytesOf(p) + half, c.pieces[p].size() - half);
            }
            if (c.madeMeanwhile && settled.size() + 1 == c.order.size()) {
                std::ofstream(folderPath / kName) << "another program's";
            }
            const dz::Fault fault = faultOf(c.endFails, p) != dz::Fault::none
                                        ? faultOf(c.endFails, p)
                                        : faultOf(c.inflateFails, p);
            if (c.target == Target::elsewhere && fault != dz::Fault::none) {
                output.fail(p, fault);  // as the caller that writes it records it
            }
            settled.push_back(
                output.end(p, c.target == Target::elsewhere ? dz::Fault::none : fault));
        }
        std::vector<bool> lastOnly(c.order.size(), false);
        lastOnly.back() = true;
        EXPECT_EQ(settled, lastOnly) << "the last piece to end settles the output, once";

        EXPECT_EQ(output.outcome(), c.outcome);
        const bool failed = c.fault != dz::Fault::none;
        EXPECT_EQ(output.failed(), failed);
        if (failed) {
            EXPECT_EQ(output.fault(), c.fault);
            EXPECT_EQ(output.failedEntry(), entries[c.failedPiece]);
        } else {
            std::vector<std::uint64_t> sizes;
            for (const std::string& piece : c.pieces) sizes.push_back(piece.size());
            EXPECT_EQ(output.pieceSizes(), sizes);
            EXPECT_EQ(output.size(), joined(c.pieces).size());
        }
        const fs::path file = folderPath / kName;
        if (c.madeMeanwhile && !c.force) {
            EXPECT_EQ(contentOf(file), "another program's");
            EXPECT_EQ(output.detail(), "it exists (--force replaces it, --keep keeps it)");
        } else if (c.target == Target::folder && !failed) {
            ASSERT_TRUE(fs::exists(file));
            EXPECT_EQ(contentOf(file), joined(c.pieces));
        } else {
            EXPECT_FALSE(fs::exists(file)) << "nothing is committed";
        }
        // No temporary file is left behind.
        std::size_t files = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folderPath)) ++files;
        EXPECT_EQ(files, fs::exists(file) ? 1u : 0u);
    }
    fs::remove_all(folderPath);
}

TEST(OutputAssemblyTest, SetUpBeforeTheWork) {
    kx::OutputAssembly output({3, 5});
    EXPECT_EQ(output.outcome(), Outcome::notChosen);
    EXPECT_FALSE(output.measureOnly());
    output.choose();
    EXPECT_EQ(output.outcome(), Outcome::waiting);
    output.keepExisting(/*measure=*/true);
    EXPECT_EQ(output.outcome(), Outcome::kept);
    EXPECT_TRUE(output.measureOnly());

    kx::OutputAssembly checked({3, 5, 9});
    checked.choose();
    checked.failChecked(1, dz::Fault::subfileHeaderDigest);
    EXPECT_EQ(checked.outcome(), Outcome::failed);
    EXPECT_EQ(checked.fault(), dz::Fault::subfileHeaderDigest);
    EXPECT_EQ(checked.failedEntry(), 5u);
}

}  // namespace
