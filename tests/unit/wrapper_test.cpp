// The zlib and gzip wrappers of packed data: headers read, refused and written again, cut at
// every byte, and the trailers and their check values.
#include "dzlib/wrapper.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dzlib/compress.h"

namespace dz {
namespace {

std::string bytesOf(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::string hexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (char c : bytes) {
        hex += kDigits[static_cast<unsigned char>(c) >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

bool read(const std::string& bytes, Wrapper& wrapper) {
    return readWrapper(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), wrapper);
}

Wrapper zlibWrapper(std::uint8_t first, std::uint8_t second) {
    Wrapper wrapper;
    wrapper.zlibHeader[0] = first;
    wrapper.zlibHeader[1] = second;
    return wrapper;
}

Wrapper gzipWrapper() {
    Wrapper wrapper;
    wrapper.gzip = true;
    return wrapper;
}

void expectSame(const Wrapper& read, const Wrapper& written, const std::string& what) {
    EXPECT_EQ(read.gzip, written.gzip) << what;
    if (!written.gzip) {
        EXPECT_EQ(read.zlibHeader[0], written.zlibHeader[0]) << what;
        EXPECT_EQ(read.zlibHeader[1], written.zlibHeader[1]) << what;
        return;
    }
    EXPECT_EQ(read.modificationTime, written.modificationTime) << what;
    EXPECT_EQ(read.extraFlags, written.extraFlags) << what;
    EXPECT_EQ(read.operatingSystem, written.operatingSystem) << what;
    EXPECT_EQ(read.text, written.text) << what;
    EXPECT_EQ(read.headerCrc, written.headerCrc) << what;
    EXPECT_EQ(read.extra, written.extra) << what;
    EXPECT_EQ(read.name, written.name) << what;
    EXPECT_EQ(read.comment, written.comment) << what;
}

// Wrappers that can be written, with the header bytes each is written as when they are short.
std::vector<std::pair<Wrapper, std::string>> writableWrappers() {
    std::vector<std::pair<Wrapper, std::string>> wrappers;
    wrappers.emplace_back(zlibWrapper(0x78, 0x9c), bytesOf("789c"));
    wrappers.emplace_back(zlibWrapper(0x78, 0x01), bytesOf("7801"));
    wrappers.emplace_back(zlibWrapper(0x78, 0xda), bytesOf("78da"));
    wrappers.emplace_back(zlibWrapper(0x08, 0x1d), bytesOf("081d"));  // the smallest window
    wrappers.emplace_back(gzipWrapper(), bytesOf("1f8b08000000000000ff"));
    Wrapper all = gzipWrapper();
    all.text = true;
    all.headerCrc = true;
    all.modificationTime = 0x12345678;
    all.extraFlags = 2;
    all.operatingSystem = 3;
    all.extra = "ab";
    all.name = "n";
    all.comment = "c";
    wrappers.emplace_back(all, bytesOf("1f8b081f785634120203020061626e006300ffb5"));
    Wrapper crcOnly = gzipWrapper();
    crcOnly.headerCrc = true;
    wrappers.emplace_back(crcOnly, bytesOf("1f8b08020000000000ff90c9"));
    Wrapper extraLast = gzipWrapper();  // FEXTRA ends the header
    extraLast.extra = "xyz";
    wrappers.emplace_back(extraLast, bytesOf("1f8b08040000000000ff030078797a"));
    Wrapper high = gzipWrapper();
    high.modificationTime = 0xffffffff;
    high.extraFlags = 0xff;
    high.operatingSystem = 0;
    high.extra = "";
    high.name = "";
    high.comment = "";
    wrappers.emplace_back(high, bytesOf("1f8b081cffffffffff0000000000"));
    Wrapper largest = gzipWrapper();
    largest.extra = std::string(0xffff, '\xAA');
    largest.extra->back() = '\0';
    largest.name = std::string(300, 'n');
    largest.comment = "\xff";
    largest.headerCrc = true;
    wrappers.emplace_back(largest, "");
    return wrappers;
}

TEST(Wrapper, WrittenReadBackAndCutAtEveryByte) {
    for (const auto& [wrapper, expected] : writableWrappers()) {
        const std::string header = wrapperHeader(wrapper);
        const std::string what = hexOf(header.substr(0, 24));
        EXPECT_TRUE(wrapperIsWritable(wrapper)) << what;
        if (!expected.empty()) {
            EXPECT_EQ(hexOf(header), hexOf(expected));
        }
        Wrapper read;
        ASSERT_TRUE(dz::read(header, read)) << what;
        expectSame(read, wrapper, what);
        // Bytes after the header are the deflate stream's, not the header's.
        ASSERT_TRUE(dz::read(header + std::string(3, '\0'), read)) << what;
        expectSame(read, wrapper, what);
        const auto* data = reinterpret_cast<const std::uint8_t*>(header.data());
        for (std::size_t cut = 0; cut < header.size(); ++cut) {
            EXPECT_FALSE(readWrapper(data, cut, read)) << what << " cut at " << cut;
        }
    }
}

TEST(Wrapper, HeadersInflateRefuses) {
    const char* const cases[] = {
        "",
        "78",
        "789d",                  // check bits wrong
        "7709",                  // method 7
        "881c",                  // a window of 64 KiB
        "78bb",                  // a preset dictionary
        "1f8b07000000000000ff",  // gzip method 7
        "1f8b08200000000000ff",  // reserved flags
        "1f8b08400000000000ff",
        "1f8b08800000000000ff",
        "1f8b08020000000000ff90c8",  // the header's CRC wrong
        "1f8b08020000000000ff91c9",
        "1f8b08040000000000ff0100",    // FEXTRA longer than what follows
        "1f8b08040000000000ff000161",  // FEXTRA's length is least significant byte first
        "1f8b08080000000000ff6e",      // FNAME without its zero
        "1f8b08100000000000ff63",      // FCOMMENT without its zero
        "1f8b08180000000000ff6e0063",  // FNAME, then FCOMMENT without its zero
    };
    for (const char* hex : cases) {
        Wrapper wrapper;
        EXPECT_FALSE(read(bytesOf(hex), wrapper)) << hex;
    }
}

TEST(Wrapper, WhatCannotBeWritten) {
    Wrapper longExtra = gzipWrapper();
    longExtra.extra = std::string(0x10000, 'x');
    Wrapper zeroInName = gzipWrapper();
    zeroInName.name = std::string("a\0b", 3);
    Wrapper zeroInComment = gzipWrapper();
    zeroInComment.comment = std::string(1, '\0');
    const std::pair<Wrapper, const char*> cases[] = {
        {zlibWrapper(0x78, 0x9d), "check bits"},
        {zlibWrapper(0x77, 0x09), "method 7"},
        {zlibWrapper(0x88, 0x1c), "a window of 64 KiB"},
        {zlibWrapper(0x78, 0xbb), "a preset dictionary"},
        {longExtra, "FEXTRA of 65,536 bytes"},
        {zeroInName, "a zero inside the name"},
        {zeroInComment, "a zero as the comment"},
    };
    for (const auto& [wrapper, what] : cases) EXPECT_FALSE(wrapperIsWritable(wrapper)) << what;
}

TEST(Wrapper, Trailers) {
    struct Case {
        bool gzip;
        std::uint32_t check;
        std::uint64_t length;
        const char* hex;
    };
    const Case cases[] = {
        {false, 0x01020304, 5, "01020304"},  // Adler-32, most significant byte first
        {false, 0xfffffffe, 0, "fffffffe"},
        {true, 0x01020304, 5, "0403020105000000"},  // CRC-32 and length, least first
        {true, 0xfffffffe, 0x1fffffffd, "feffffff fdffffff"},
        {true, 0, 0x100000000, "0000000000000000"},
    };
    for (const Case& c : cases) {
        Wrapper wrapper;
        wrapper.gzip = c.gzip;
        std::string expected = c.hex;
        std::erase(expected, ' ');
        EXPECT_EQ(hexOf(wrapperTrailer(wrapper, c.check, c.length)), expected) << c.hex;
    }
}

// The check value a part at a time is the whole's, wherever the content is cut, and no bytes
// (at no address) leave it as it was.
TEST(Wrapper, CheckValuesAPartAtATime) {
    std::vector<std::uint8_t> content(70000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
    struct Case {
        bool gzip;
        std::size_t length;
        std::uint32_t whole;  // zlib's crc32 or adler32 of the first `length` bytes
    };
    const Case cases[] = {
        {false, 0, 1},
        {true, 0, 0},
        {false, 9, 0x035100fd},
        {true, 9, 0x23faf38b},
    };
    for (const Case& c : cases) {
        Wrapper wrapper;
        wrapper.gzip = c.gzip;
        EXPECT_EQ(wrapperCheck(content.data(), c.length, wrapper), c.whole) << c.length;
    }
    for (bool gzip : {false, true}) {
        Wrapper wrapper;
        wrapper.gzip = gzip;
        const std::uint32_t whole = wrapperCheck(content.data(), content.size(), wrapper);
        for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{5552},
                                std::size_t{65536}, content.size()}) {
            std::uint32_t check = emptyWrapperCheck(wrapper);
            check = addToWrapperCheck(check, content.data(), cut, wrapper);
            check = addToWrapperCheck(check, nullptr, 0, wrapper);
            check = addToWrapperCheck(check, content.data() + cut, content.size() - cut, wrapper);
            EXPECT_EQ(check, whole) << gzip << " cut at " << cut;
        }
    }
}

}  // namespace
}  // namespace dz
