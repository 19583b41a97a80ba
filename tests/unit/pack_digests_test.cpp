// The pieces' digests taken side by side before they are packed: which entries a job takes with
// its own, and digests equal to one MD5 a piece for every length and place in a file.
#include "dzlib/pack_digests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "dzlib/manifest.h"
#include "kestrix/kestrix.h"

namespace dz {
namespace {

namespace fs = std::filesystem;

std::string noise(std::size_t length, std::uint32_t x) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) byte = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// Inputs whose entry i names a piece of lengths[i] bytes, or none (a copy) where it has none.
PackInputs inputsOf(const std::vector<std::optional<std::uint64_t>>& lengths) {
    PackInputs in;
    for (const auto& length : lengths) {
        ManifestEntry entry;
        if (length) entry.content = ContentPlace{"f", 0, *length};
        in.manifest.entries.push_back(entry);
    }
    return in;
}

TEST(PieceGroups, TakesTheEntriesRightAfterAsManyAsTheLanes) {
    using Groups = std::vector<std::vector<std::size_t>>;
    const auto none = std::nullopt;
    struct Case {
        const char* what;
        std::vector<std::optional<std::uint64_t>> lengths;
        unsigned lanes;
        Groups groups;  // the non-empty claims of entries 0, 1, 2... in turn
    } cases[] = {
        {"as many as the lanes", {8, 8, 8, 8, 8}, 4, {{0, 1, 2, 3}, {4}}},
        {"a copy ends a group and is its own", {5, 5, none, 5, 0}, 8, {{0, 1}, {2}, {3, 4}}},
        {"one lane: one piece a group", {1, 1, 1}, 1, {{0}, {1}, {2}}},
    };
    for (const Case& c : cases) {
        PieceGroups groups(inputsOf(c.lengths), c.lanes);
        Groups got;
        for (std::size_t i = 0; i < c.lengths.size(); ++i) {
            auto group = groups.claim(i);
            if (!group.empty()) got.push_back(group);
        }
        EXPECT_EQ(got, c.groups) << c.what;
        EXPECT_TRUE(groups.claim(0).empty()) << c.what << ": taken twice";
    }

    // A job whose entry another took digests further on until that digest is taken.
    PieceGroups groups(inputsOf({1, 1, 1, none, 1, 1, 1}), 2);
    EXPECT_EQ(groups.claim(0), (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(groups.claimAhead(1), (std::vector<std::size_t>{2}));     // up to the copy
    EXPECT_EQ(groups.claimAhead(1), (std::vector<std::size_t>{4, 5}));  // past it
    groups.digested({0, 1});
    EXPECT_TRUE(groups.claimAhead(1).empty());
    EXPECT_EQ(groups.claimAhead(5), (std::vector<std::size_t>{6}));
    EXPECT_TRUE(groups.claimAhead(5).empty());  // none left
    EXPECT_EQ(groups.claim(3), (std::vector<std::size_t>{3}));
}

TEST(PieceGroups, DigestsEqualOneMd5APiece) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "kestrix-pack-digests-test.bin";
    const std::string bytes = noise(13u << 20, 7);
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));

    // {offset, length}: empty, under a block, unaligned, past one slice, the whole file.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> places = {
        {0, 0}, {3, 63}, {5, 64}, {4097, 1000003}, {1, (4u << 20) + 1}, {0, bytes.size()}};
    platform::prepareViews();  // as the programs do: pieces are read in place
    PackInputs in;
    in.sources["f"].file = platform::File::openExclusiveRead(path.string().c_str());
    ASSERT_TRUE(in.sources["f"].file.isOpen());
    std::vector<std::size_t> group;
    for (const auto& [offset, length] : places) {
        group.push_back(in.manifest.entries.size());
        in.manifest.entries.emplace_back().content = ContentPlace{"f", offset, length};
        in.manifest.entries.emplace_back();  // a copy between: passed over
    }
    std::vector<std::optional<digest::Digest>> digests(in.manifest.entries.size());
    std::vector<std::uint64_t> told(digests.size());
    digestPieces(in, group, digests, [&](std::size_t i, std::uint64_t at, std::size_t length) {
        EXPECT_EQ(at, told[i]) << "entry " << i;
        told[i] += length;
    });
    // Where the system shows no file in place (Windows), no piece but the empty one has a
    // digest here: packEntry takes them.
    const bool inPlace = !in.sources["f"].file.view(0, 1).empty();
    for (std::size_t k = 0; k < places.size(); ++k) {
        const auto [offset, length] = places[k];
        const std::size_t i = group[k];
        EXPECT_FALSE(digests[i + 1]) << "the copy after piece " << k;
        if (!inPlace && length > 0) {
            EXPECT_FALSE(digests[i]) << "piece " << k;
            continue;
        }
        ASSERT_TRUE(digests[i]) << "piece " << k;
        EXPECT_EQ(*digests[i], digest::md5Digest(bytes.data() + offset, length)) << "piece " << k;
        EXPECT_EQ(told[i], length) << "piece " << k;
    }
    in.sources.clear();
    std::filesystem::remove(path);
}

// The library's pack, its pieces digested side by side: each entry holds its piece, and the
// progress rises to its whole.
TEST(PieceGroups, APackOfPiecesTakenSideBySideHoldsEachPiece) {
    const fs::path folder = fs::temp_directory_path() / "kestrix-pack-digests";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::vector<std::string> pieces = {noise(5u << 20, 1), "", noise(100, 2),
                                             std::string(3u << 20, 'x'), noise(65, 3)};
    std::string file;
    Manifest manifest;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        ManifestEntry& entry = manifest.entries.emplace_back();
        entry.type = 1;
        std::strcpy(entry.name, "system.img");
        entry.content = ContentPlace{"system.img", file.size(), pieces[k].size()};
        file += pieces[k];
    }
    std::ofstream(folder / "system.img", std::ios::binary) << file;
    std::ofstream(folder / "m.json", std::ios::binary) << manifestText(manifest);

    std::vector<kestrix::Progress> told;
    const kestrix::PackResult result =
        kestrix::pack((folder / "m.json").string(), (folder / "new.dz").string(), 6, std::nullopt,
                      [&](const kestrix::Progress& progress) { told.push_back(progress); });
    ASSERT_TRUE(result.ok) << result.message;
    kestrix::Container container;
    std::string error;
    ASSERT_TRUE(container.open((folder / "new.dz").string(), error)) << error;
    ASSERT_EQ(container.entries().size(), pieces.size());
    for (std::uint32_t k = 0; k < pieces.size(); ++k) {
        kestrix::Content content;
        ASSERT_EQ(container.unpack(k, content).reason, kestrix::Reason::ok) << "entry " << k;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.data()), content.size()),
                  pieces[k])
            << "entry " << k;
    }
    ASSERT_FALSE(told.empty());
    for (std::size_t k = 1; k < told.size(); ++k) EXPECT_GE(told[k].done, told[k - 1].done);
    EXPECT_EQ(told.back().done, told.back().total);
    container = kestrix::Container();
    fs::remove_all(folder);
}

}  // namespace
}  // namespace dz
