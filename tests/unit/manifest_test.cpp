// Manifests written and read back, and the manifests refused: numbers and fields at the edge of
// their widths, hex of the wrong length, keys missing or given twice.
#include "dzlib/manifest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace dz {
namespace {

using Json = nlohmann::ordered_json;

template <std::size_t width>
void fill(char (&field)[width], char c) {
    std::memset(field, c, width);
}

// Two entries: one extracted, with a gzip wrapper that uses every field, one not, with a zlib
// wrapper. Every number is at the top of its width.
Manifest sample() {
    Manifest manifest;
    MainHeader& header = manifest.header;
    header.version = UINT32_MAX;
    header.subfileCount = UINT32_MAX - 1;
    header.creationTime = 2650467744000000000;  // the year 10000: no text for it
    fill(header.phoneModel, 'p');               // whole widths, with no zero
    fill(header.internalName, 'i');
    std::memcpy(header.chip, "c\0\xff", 3);  // a zero inside, and a byte that is not UTF-8
    fill(header.fileName, 'f');
    manifest.origin = Origin{"dir/a.dz", UINT64_MAX, INT64_MIN, {}};
    for (std::uint8_t i = 0; i < 16; ++i) manifest.origin->headerDigest[i] = 0xf0 | i;

    ManifestEntry extracted;
    extracted.type = UINT32_MAX;
    fill(extracted.name, 'n');
    for (std::uint8_t i = 0; i < 12; ++i) extracted.reserved[i] = static_cast<std::uint8_t>(i * 23);
    extracted.wrapper.gzip = true;
    extracted.wrapper.modificationTime = UINT32_MAX;
    extracted.wrapper.extraFlags = 255;
    extracted.wrapper.operatingSystem = 0;
    extracted.wrapper.text = true;
    extracted.wrapper.headerCrc = true;
    extracted.wrapper.extra = std::string(0xffff, '\x01');
    extracted.wrapper.name = "";
    extracted.wrapper.comment = "\xff";
    extracted.content = ContentPlace{"out/\xff.bin", UINT64_MAX, 0x100000000};
    extracted.proven = true;
    extracted.originalIndex = UINT32_MAX - 1;
    manifest.entries.push_back(extracted);

    ManifestEntry left;
    std::memcpy(left.name, "boot.img", 8);
    left.wrapper.zlibHeader[1] = 0x01;
    manifest.entries.push_back(left);
    return manifest;
}

TEST(Manifest, WrittenAndReadBack) {
    const Manifest written = sample();
    Manifest read;
    std::string error;
    ASSERT_TRUE(parseManifest(manifestText(written), read, error)) << error;

    EXPECT_EQ(std::memcmp(&read.header, &written.header, sizeof read.header), 0);
    ASSERT_TRUE(read.origin.has_value());
    EXPECT_EQ(read.origin->file, written.origin->file);
    EXPECT_EQ(read.origin->size, written.origin->size);
    EXPECT_EQ(read.origin->modified, written.origin->modified);
    EXPECT_EQ(std::memcmp(read.origin->headerDigest, written.origin->headerDigest, 16), 0);
    ASSERT_EQ(read.entries.size(), written.entries.size());
    for (std::size_t i = 0; i < read.entries.size(); ++i) {
        const ManifestEntry& r = read.entries[i];
        const ManifestEntry& w = written.entries[i];
        EXPECT_EQ(r.type, w.type) << i;
        EXPECT_EQ(std::memcmp(r.name, w.name, sizeof r.name), 0) << i;
        EXPECT_EQ(std::memcmp(r.reserved, w.reserved, sizeof r.reserved), 0) << i;
        EXPECT_EQ(wrapperHeader(r.wrapper), wrapperHeader(w.wrapper)) << i;
        EXPECT_EQ(r.wrapper.modificationTime, w.wrapper.modificationTime) << i;
        EXPECT_EQ(r.wrapper.comment, w.wrapper.comment) << i;
        EXPECT_EQ(r.proven, w.proven) << i;
        EXPECT_EQ(r.originalIndex, w.originalIndex.value_or(static_cast<std::uint32_t>(i))) << i;
        ASSERT_EQ(r.content.has_value(), w.content.has_value()) << i;
        if (r.content) {
            EXPECT_EQ(r.content->file, w.content->file) << i;
            EXPECT_EQ(r.content->offset, w.content->offset) << i;
            EXPECT_EQ(r.content->length, w.content->length) << i;
        }
    }
    // Written again, it is the same text.
    EXPECT_EQ(manifestText(read), manifestText(written));
}

Json json(const char* text) {
    return Json::parse(text);
}

Json hexOfLength(std::size_t bytes) {
    return Json(std::string(bytes * 2, 'a'));
}

TEST(Manifest, FieldsAtTheEdgeOfTheirWidths) {
    struct Edit {
        std::string pointer;
        std::optional<Json> value;  // none: the key taken away
    };
    struct Case {
        std::vector<Edit> edits;
        bool accepted;
    };
    const char* const gzip = "/entries/0/wrapper/";
    const auto in = [](const char* base, const char* key) { return std::string(base) + key; };
    std::vector<Case> cases = {
        {{}, true},
        {{{"/kx_manifest", json("2")}}, false},
        {{{"/kx_manifest", json("0")}}, false},
        {{{"/kx_manifest", json("\"1\"")}}, false},
        {{{"/kx_manifest", std::nullopt}}, false},
        {{{"/container/format_version", json("4294967296")}}, false},
        {{{"/container/format_version", json("-1")}}, false},
        {{{"/container/format_version", json("1.0")}}, false},
        {{{"/container/subfile_count", json("4294967295")}}, true},
        {{{"/container/subfile_count", json("4294967296")}}, false},
        {{{"/container/subfile_count", std::nullopt}}, false},
        {{{"/container/creation_time_raw", json("18446744073709551615")}}, true},
        {{{"/container/creation_time_raw", json("18446744073709551616")}}, false},
        {{{"/container/creation_time_raw", json("-1")}}, false},
        {{{"/container/phone_model/hex", hexOfLength(9)}}, false},
        {{{"/container/internal_name/hex", hexOfLength(81)}}, false},
        {{{"/container/chip/hex", hexOfLength(28)}}, true},
        {{{"/container/chip/hex", hexOfLength(29)}}, false},
        {{{"/container/file_name/hex", hexOfLength(161)}}, false},
        {{{"/entries/0/name/hex", hexOfLength(145)}}, false},
        {{{"/container/chip/hex", json("\"abc\"")}}, false},
        {{{"/container/chip/hex", json("\"zz\"")}}, false},
        {{{"/container/chip/hex", json("12")}}, false},
        {{{"/container/chip/hex", json("\"\"")}}, true},
        {{{"/container/chip/hex", std::nullopt},
          {"/container/chip/text", Json(std::string(28, 'c'))}},
         true},
        {{{"/container/chip/hex", std::nullopt},
          {"/container/chip/text", Json(std::string(29, 'c'))}},
         false},
        {{{"/container/chip/hex", std::nullopt}, {"/container/chip/text", json("1")}}, false},
        {{{"/container/chip/hex", std::nullopt}, {"/container/chip/text", std::nullopt}}, false},
        {{{"/container/chip", std::nullopt}}, false},
        {{{"/entries/0/reserved_hex", hexOfLength(11)}}, false},
        {{{"/entries/0/reserved_hex", hexOfLength(13)}}, false},
        {{{"/entries/0/reserved_hex", std::nullopt}}, false},
        {{{"/entries/0/type", json("4294967296")}}, false},
        {{{"/entries/0/type", json("-1")}}, false},
        {{{"/entries/0/type", json("0")}}, true},
        {{{"/entries/0/type", std::nullopt}}, false},
        {{{"/entries/0/index", json("1")}}, true},
        {{{"/entries/0/index", json("0")}}, false},
        {{{"/entries/0/index", json("4294967296")}}, false},
        {{{"/entries/0/index", std::nullopt}}, true},
        {{{"/entries/0/offset", json("0")}}, true},
        {{{"/entries/0/offset", json("-1")}}, false},
        {{{"/entries/0/offset", json("18446744073709551616")}}, false},
        {{{"/entries/0/length", json("18446744073709551615")}}, true},
        {{{"/entries/0/length", json("-1")}}, false},
        {{{"/entries/0/length", std::nullopt}}, false},
        {{{"/entries/0/proven", json("1")}}, false},
        {{{"/entries/0/proven", std::nullopt}}, true},
        {{{"/entries/0/file_hex", json("\"6\"")}}, false},
        {{{"/entries/0/file_hex", std::nullopt}}, true},  // the text then
        {{{"/entries/0/file_hex", std::nullopt}, {"/entries/0/file", json("7")}}, false},
        {{{"/entries/0/file", std::nullopt}}, false},
        {{{"/entries/1/file", json("null")}, {"/entries/1/offset", json("-1")}}, true},
        {{{in(gzip, "format"), json("\"deflate\"")}}, false},
        {{{in(gzip, "format"), std::nullopt}}, false},
        {{{in(gzip, "modification_time"), json("4294967296")}}, false},
        {{{in(gzip, "modification_time"), json("0")}}, true},
        {{{in(gzip, "extra_flags"), json("256")}}, false},
        {{{in(gzip, "operating_system"), json("256")}}, false},
        {{{in(gzip, "operating_system"), json("-1")}}, false},
        {{{in(gzip, "text"), json("1")}}, false},
        {{{in(gzip, "header_crc"), json("\"true\"")}}, false},
        {{{in(gzip, "header_crc"), std::nullopt}}, false},
        {{{in(gzip, "extra_hex"), hexOfLength(0x10000)}}, false},
        {{{in(gzip, "extra_hex"), json("null")}}, true},
        {{{in(gzip, "extra_hex"), std::nullopt}}, false},
        {{{in(gzip, "name_hex"), json("\"610062\"")}}, false},  // a zero inside the name
        {{{in(gzip, "name_hex"), json("\"61\"")}}, true},
        {{{in(gzip, "comment_hex"), json("\"00\"")}}, false},
        {{{"/entries/1/wrapper/header_hex", json("\"78\"")}}, false},
        {{{"/entries/1/wrapper/header_hex", json("\"789c00\"")}}, false},
        {{{"/entries/1/wrapper/header_hex", json("\"789d\"")}}, false},
        {{{"/entries/1/wrapper/header_hex", json("\"78da\"")}}, true},
        {{{"/entries/1/wrapper/header_hex", std::nullopt}}, false},
        {{{"/entries/1/wrapper", std::nullopt}}, false},
        {{{"/original/header_md5_hex", hexOfLength(15)}}, false},
        {{{"/original/header_md5_hex", hexOfLength(17)}}, false},
        {{{"/original/header_md5_hex", std::nullopt}}, false},
        {{{"/original/size", json("-1")}}, false},
        {{{"/original/modified", json("9223372036854775807")}}, true},
        {{{"/original/modified", json("9223372036854775808")}}, false},
        {{{"/original/modified", json("18446744073709551615")}}, false},
        {{{"/original/modified", json("-1")}}, true},
        {{{"/original/modified", json("1.5")}}, false},
        {{{"/original/modified", std::nullopt}}, true},
        {{{"/original", std::nullopt}}, true},
        {{{"/entries", json("{}")}}, false},
        {{{"/entries", json("[]")}}, true},
        {{{"/entries", std::nullopt}}, false},
        {{{"/container", std::nullopt}}, false},
    };
    const Json written = Json::parse(manifestText(sample()));
    for (const Case& c : cases) {
        Json edited = written;
        std::string what;
        for (const Edit& edit : c.edits) {
            const Json::json_pointer pointer(edit.pointer);
            if (edit.value) {
                edited[pointer] = *edit.value;
                what += edit.pointer + " = " + edit.value->dump().substr(0, 40) + " ";
            } else {
                edited[pointer.parent_pointer()].erase(pointer.back());
                what += edit.pointer + " taken away ";
            }
        }
        Manifest manifest;
        std::string error;
        EXPECT_EQ(parseManifest(edited.dump(), manifest, error), c.accepted) << what << error;
    }
}

TEST(Manifest, KeysGivenTwiceAndTextsThatAreNotManifests) {
    const std::string written = manifestText(sample());
    // Each key found at its first place in the text and given a second time beside it.
    const auto twice = [&](const std::string& key) {
        const std::size_t at = written.find("\"" + key + "\":");
        EXPECT_NE(at, std::string::npos) << key;
        const std::size_t end = written.find_first_of(",\n", written.find(':', at) + 2);
        return written.substr(0, end) + ", " + written.substr(at, end - at) + written.substr(end);
    };
    const std::pair<std::string, bool> cases[] = {
        {written, true},
        {twice("kx_manifest"), false},
        {twice("format_version"), false},
        {twice("size"), false},
        {twice("type"), false},
        {twice("format"), false},
        {twice("length"), false},
        {"", false},
        {"{", false},
        {"[]", false},
        {"{}", false},
        {written + "{}", false},
    };
    for (const auto& [text, accepted] : cases) {
        Manifest manifest;
        std::string error;
        EXPECT_EQ(parseManifest(text, manifest, error), accepted) << text.substr(0, 200);
        EXPECT_EQ(error.empty(), accepted) << error;
    }
}

}  // namespace
}  // namespace dz
