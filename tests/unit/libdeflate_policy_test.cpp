// The libdeflate backend's policy for the deflate code walk (dzlib/inflate_libdeflate.h): each
// rule at its boundary values (the value, one less, one more, the largest), then on whole
// streams: which ones the walk leaves to zlib, and where it stops for the output's room.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "dzlib/deflate_check.h"
#include "dzlib/inflate_libdeflate.h"

namespace dz {
namespace {

using Policy = LibdeflateWalkPolicy;
constexpr std::size_t kLargest = SIZE_MAX;
constexpr std::size_t kMiB = 1024 * 1024;

// A dynamic block whose codes start at `codesStart`, literal-only or not.
CodedBlock dynamicBlockAt(std::size_t codesStart, bool literalsOnly) {
    CodedBlock block;
    block.dynamic = true;
    block.literalsOnly = literalsOnly;
    block.literalCodewords = 100;
    block.codesStart = codesStart;
    return block;
}

// Whether a fresh policy for 1 MiB of deflate data, past kFewestCostly - 1 literal-only dynamic
// blocks at its start, stops before one more whose codes start `at` bits in.
std::size_t stopsAt(std::size_t at) {
    Policy policy(1 << 20, kLargest);
    for (std::size_t i = 1; i < Policy::kFewestCostly; ++i) {
        if (policy.stopBefore(dynamicBlockAt(0, /*literalsOnly=*/true))) return 2;
    }
    return policy.stopBefore(dynamicBlockAt(at, /*literalsOnly=*/true));
}

// Whether a fresh policy stops before the `costly`-th literal-only block, no other block met.
std::size_t stopsAfterCostlyAlone(std::size_t costly) {
    Policy policy(1 << 20, kLargest);
    bool stopped = false;
    for (std::size_t i = 0; i < costly; ++i) stopped = policy.stopBefore(dynamicBlockAt(0, true));
    return stopped;
}

// Whether a policy that has met 3 long dynamic blocks stops before the `costly`-th literal-only
// one.
std::size_t stopsAfterCostly(std::size_t costly) {
    Policy policy(1 << 20, kLargest);
    for (int i = 0; i < 3; ++i) {
        CodedBlock block = dynamicBlockAt(0, /*literalsOnly=*/false);
        block.end = Policy::kShortBlockBits;
        policy.blockEnded(block);
    }
    bool stopped = false;
    for (std::size_t i = 0; i < costly; ++i) stopped = policy.stopBefore(dynamicBlockAt(0, true));
    return stopped;
}

// The bits a fresh policy for an output of `room` bytes allows the next block's codes after a
// first block whose codes took 1,615 bits (room 100: at least 100 bytes made, none left).
std::size_t allowedAfterBlock(std::size_t room) {
    Policy policy(1 << 20, room);
    CodedBlock block;
    block.end = Policy::codeBitsFor(100);
    policy.blockEnded(block);
    return policy.codeBitsAllowed();
}

// Whether `size` bytes of deflate data for an output of 8 MiB are of data compressed already.
std::size_t compressedAlreadyIn8MiB(std::size_t size) {
    return Policy::compressedAlready(size, 8 * kMiB);
}

TEST(LibdeflatePolicy, EachRuleAtItsBoundary) {
    const std::size_t whole = Policy::kWalkedWholeSize;
    const std::size_t shortBits = Policy::kShortBlockBits;
    const unsigned many = Policy::kManyCodes;
    const std::size_t quarter = Policy::decideBefore(1 << 20);  // 2 Mi bits
    // The largest room whose codes' bits do not saturate, and the fewest bits that make a byte.
    const std::size_t roomEdge =
        (kLargest - Policy::kMostEndOfBlockBits) / Policy::kMostBitsPerByte;
    const std::size_t byteBits = Policy::kMostEndOfBlockBits + Policy::kMostBitsPerByte;
    using Rule = std::size_t (*)(std::size_t);
    const struct {
        const char* rule;
        const char* at;
        std::size_t input;
        std::size_t expected;
        Rule run;
    } table[] = {
        // Data shorter than kWalkedWholeSize bytes is walked whole; longer may be left to zlib
        // within its first quarter.
        {"decideBefore", "one less", whole - 1, 0, Policy::decideBefore},
        {"decideBefore", "the value", whole, whole / 4 * 8, Policy::decideBefore},
        {"decideBefore", "one more", whole + 1, whole / 4 * 8, Policy::decideBefore},
        {"decideBefore", "the largest", kLargest, kLargest, Policy::decideBefore},
        // The walk stops only before a block whose codes start within the first quarter.
        {"stop at", "one less", quarter - 1, 1, stopsAt},
        {"stop at", "the value", quarter, 0, stopsAt},
        {"stop at", "one more", quarter + 1, 0, stopsAt},
        {"stop at", "the largest", kLargest, 0, stopsAt},
        // ... and only when the costly blocks outnumber the others (3 here).
        {"costly blocks", "one less", 2, 0, stopsAfterCostly},
        {"costly blocks", "the value", 3, 0, stopsAfterCostly},
        {"costly blocks", "one more", 4, 1, stopsAfterCostly},
        // ... and have come to kFewestCostly (4).
        {"fewest costly", "one less", 3, 0, stopsAfterCostlyAlone},
        {"fewest costly", "the value", 4, 1, stopsAfterCostlyAlone},
        {"fewest costly", "one more", 5, 1, stopsAfterCostlyAlone},
        // A short block is shorter than kShortBlockBits.
        {"short block bits", "one less", shortBits - 1, 1,
         [](std::size_t bits) -> std::size_t { return Policy::shortWithManyCodes(bits, 100); }},
        {"short block bits", "the value", shortBits, 0,
         [](std::size_t bits) -> std::size_t { return Policy::shortWithManyCodes(bits, 100); }},
        {"short block bits", "one more", shortBits + 1, 0,
         [](std::size_t bits) -> std::size_t { return Policy::shortWithManyCodes(bits, 100); }},
        {"short block bits", "the largest", kLargest, 0,
         [](std::size_t bits) -> std::size_t { return Policy::shortWithManyCodes(bits, 100); }},
        // Many codes are at least kManyCodes codewords.
        {"many codewords", "one less", many - 1, 0,
         [](std::size_t codes) -> std::size_t {
             return Policy::shortWithManyCodes(0, static_cast<unsigned>(codes));
         }},
        {"many codewords", "the value", many, 1,
         [](std::size_t codes) -> std::size_t {
             return Policy::shortWithManyCodes(0, static_cast<unsigned>(codes));
         }},
        {"many codewords", "one more", many + 1, 1,
         [](std::size_t codes) -> std::size_t {
             return Policy::shortWithManyCodes(0, static_cast<unsigned>(codes));
         }},
        {"many codewords", "the largest", UINT_MAX, 1,
         [](std::size_t codes) -> std::size_t {
             return Policy::shortWithManyCodes(0, static_cast<unsigned>(codes));
         }},
        // Codes making at most `room` bytes take at most 16 bits a byte and 15 more.
        {"codeBitsFor", "none", 0, 15, Policy::codeBitsFor},
        {"codeBitsFor", "one less", roomEdge - 1, (roomEdge - 1) * 16 + 15, Policy::codeBitsFor},
        {"codeBitsFor", "the value", roomEdge, roomEdge * 16 + 15, Policy::codeBitsFor},
        {"codeBitsFor", "one more", roomEdge + 1, kLargest, Policy::codeBitsFor},
        {"codeBitsFor", "the largest", kLargest, kLargest, Policy::codeBitsFor},
        // Codes of `bits` bits made at least (bits - 15) / 16 bytes.
        {"bytesMadeBy", "15 bits", 15, 0, Policy::bytesMadeBy},
        {"bytesMadeBy", "one less", byteBits - 1, 0, Policy::bytesMadeBy},
        {"bytesMadeBy", "the value", byteBits, 1, Policy::bytesMadeBy},
        {"bytesMadeBy", "one more", byteBits + 1, 1, Policy::bytesMadeBy},
        {"bytesMadeBy", "the largest", kLargest, (kLargest - 15) / 16, Policy::bytesMadeBy},
        // Data compressed already: deflate data longer than 7/8 of the room.
        {"compressedAlready", "one less", 7 * kMiB - 1, 0, compressedAlreadyIn8MiB},
        {"compressedAlready", "the value", 7 * kMiB, 0, compressedAlreadyIn8MiB},
        {"compressedAlready", "one more", 7 * kMiB + 1, 1, compressedAlreadyIn8MiB},
        {"compressedAlready", "the largest", kLargest, 1, compressedAlreadyIn8MiB},
        // The room left after a block that made at least 100 bytes.
        {"room left", "one less", 99, 15, allowedAfterBlock},
        {"room left", "the value", 100, 15, allowedAfterBlock},
        {"room left", "one more", 101, 31, allowedAfterBlock},
        {"room left", "the largest", kLargest, kLargest, allowedAfterBlock},
    };
    for (const auto& row : table) {
        EXPECT_EQ(row.run(row.input), row.expected)
            << row.rule << " at " << row.at << " (" << row.input << ")";
    }
}

// Fixed blocks never stop the walk, nor count for the speed rule.
TEST(LibdeflatePolicy, FixedBlocksNeverStopTheWalk) {
    Policy policy(1 << 20, kLargest);
    CodedBlock fixed;
    for (int i = 0; i < 10; ++i) {
        fixed.end = 100;  // short
        EXPECT_FALSE(policy.stopBefore(fixed));
        policy.blockEnded(fixed);
    }
    // They did not count: the literal-only blocks that follow stop it at kFewestCostly, as in a
    // fresh policy.
    for (std::size_t i = 1; i < Policy::kFewestCostly; ++i)
        EXPECT_FALSE(policy.stopBefore(dynamicBlockAt(0, /*literalsOnly=*/true)));
    EXPECT_TRUE(policy.stopBefore(dynamicBlockAt(0, /*literalsOnly=*/true)));
}

// ---------------------------------------------------------------------------------------------
// On whole streams.

// The walk of the libdeflate backend over raw deflate data, for an output of `room` bytes.
CodeWalk walkFor(const std::vector<std::uint8_t>& stream, std::size_t room) {
    Policy policy(stream.size(), room);
    return walkDeflateCodes(stream.data(), stream.size(), policy);
}

// Lines of words and numbers, about 3:1 at level 6; or, with `letters`, that many letters from
// 'a' on in random order (about 3 bits a letter and few matches).
std::string wordContent(std::size_t length, unsigned letters = 0) {
    static const char* const kWords[] = {"system", "vendor", "boot", "modem", "radio",
                                         "init",   "media",  "wifi", "audio", "service"};
    std::string out;
    std::uint32_t x = 12345;
    const auto next = [&x]() { return (x = x * 1103515245u + 12345u) >> 16; };
    while (out.size() < length) {
        if (letters != 0) {
            out += static_cast<char>('a' + next() % letters);
        } else {
            out += std::string("ro.") + kWords[next() % 10] + "." + kWords[next() % 10] + "=" +
                   std::to_string(next() % 100000) + "\n";
        }
    }
    out.resize(length);
    return out;
}

// A raw deflate stream: `parts` of content in turn, each with its strategy at level 6 and a
// full flush after every `flushEvery` bytes of it (0 for none).
struct StreamPart {
    std::string content;
    int strategy;
    std::size_t flushEvery;
};

std::vector<std::uint8_t> rawDeflateParts(const std::vector<StreamPart>& parts) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, parts[0].strategy), Z_OK);
    std::size_t total = 0;
    for (const StreamPart& part : parts) total += part.content.size();
    std::vector<std::uint8_t> out(deflateBound(&stream, total) * 2 + 4096);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    for (std::size_t p = 0; p < parts.size(); ++p) {
        const StreamPart& part = parts[p];
        if (p > 0) {
            EXPECT_EQ(deflateParams(&stream, 6, part.strategy), Z_OK);
        }
        const std::size_t every = part.flushEvery != 0 ? part.flushEvery : part.content.size();
        for (std::size_t at = 0; at < part.content.size(); at += every) {
            const std::size_t length = std::min(every, part.content.size() - at);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part.content.data() + at));
            stream.avail_in = static_cast<uInt>(length);
            const bool last = p + 1 == parts.size() && at + length == part.content.size();
            EXPECT_EQ(deflate(&stream, last ? Z_FINISH : Z_FULL_FLUSH), last ? Z_STREAM_END : Z_OK);
        }
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

TEST(LibdeflatePolicy, LeftToZlibOnlyWhereTheRuleSays) {
    const std::string words = wordContent(384 * 1024);
    const std::string letters = wordContent(256 * 1024, 8);
    const struct {
        const char* name;
        std::vector<StreamPart> parts;
        CodeWalk expected;
    } cases[] = {
        {"level 6", {{words, Z_DEFAULT_STRATEGY, 0}}, CodeWalk::kRead},
        {"Huffman-only: literal-only blocks", {{words, Z_HUFFMAN_ONLY, 0}}, CodeWalk::kStopped},
        {"Huffman-only, under kWalkedWholeSize",
         {{words.substr(0, 64 * 1024), Z_HUFFMAN_ONLY, 0}},
         CodeWalk::kRead},
        {"a full flush every 1,000 bytes: short blocks of many codes",
         {{words, Z_DEFAULT_STRATEGY, 1000}},
         CodeWalk::kStopped},
        {"a full flush every 1,000 bytes of 8 letters: short blocks of few codes",
         {{letters, Z_DEFAULT_STRATEGY, 1000}},
         CodeWalk::kRead},
        {"level 6 for a fifth of the data, then a full flush every 1,000 bytes",
         {{words, Z_DEFAULT_STRATEGY, 0}, {words + words + words, Z_DEFAULT_STRATEGY, 1000}},
         CodeWalk::kStopped},
        {"level 6 well past the first quarter, then a full flush every 1,000 bytes",
         {{words + words + words + words, Z_DEFAULT_STRATEGY, 0},
          {words.substr(0, 128 * 1024), Z_DEFAULT_STRATEGY, 1000}},
         CodeWalk::kRead},
        {"one short block of many codes, then level 6 (a partition image's start)",
         {{words.substr(0, 1000), Z_DEFAULT_STRATEGY, 1000},
          {words + words, Z_DEFAULT_STRATEGY, 0}},
         CodeWalk::kRead},
        {"Huffman-only, then level 6",
         {{words, Z_HUFFMAN_ONLY, 0}, {words + words, Z_DEFAULT_STRATEGY, 0}},
         CodeWalk::kStopped},
        {"level 6 past the first quarter, then Huffman-only",
         {{words + words, Z_DEFAULT_STRATEGY, 0}, {words, Z_HUFFMAN_ONLY, 0}},
         CodeWalk::kRead},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> stream = rawDeflateParts(c.parts);
        EXPECT_EQ(zlibReadsDeflateCodes(stream.data(), stream.size()), true);
        EXPECT_EQ(walkFor(stream, SIZE_MAX), c.expected) << stream.size() << " bytes";
    }
}

// A stream of data compressed already (deflate data nearly as long as its output) is left to
// zlib at its first dynamic block; data that deflate does shorten is not, nor is an output with
// room to spare, nor a stream walked whole.
TEST(LibdeflatePolicy, DataCompressedAlreadyIsLeftToZlib) {
    const std::string dense = wordContent(512 * 1024, 200);  // about 7.6 bits a byte
    const std::string words = wordContent(512 * 1024);
    const struct {
        const char* name;
        const std::string& content;
        std::size_t length;
        std::size_t room;
        CodeWalk expected;
    } cases[] = {
        {"200 byte values, room for them", dense, dense.size(), dense.size(), CodeWalk::kStopped},
        {"200 byte values, room for twice them", dense, dense.size(), 2 * dense.size(),
         CodeWalk::kRead},
        {"200 byte values under kWalkedWholeSize", dense, 60 * 1024, 60 * 1024, CodeWalk::kRead},
        {"words, room for them", words, words.size(), words.size(), CodeWalk::kRead},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> stream =
            rawDeflateParts({{c.content.substr(0, c.length), Z_DEFAULT_STRATEGY, 0}});
        EXPECT_EQ(zlibReadsDeflateCodes(stream.data(), stream.size()), true);
        EXPECT_EQ(walkFor(stream, c.room), c.expected) << stream.size() << " bytes";
    }
}

// The walk stops where the codes make more bytes than the output has room for: zlib refuses
// such a stream too, and the walk is then never longer than libdeflate's.
TEST(LibdeflatePolicy, WalkStopsPastTheRoom) {
    const std::string words = wordContent(48 * 1024);  // under kWalkedWholeSize packed
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_HUFFMAN_ONLY}) {
        SCOPED_TRACE(strategy);
        const std::vector<std::uint8_t> stream = rawDeflateParts({{words, strategy, 0}});
        const std::size_t size = words.size();
        EXPECT_EQ(walkFor(stream, size), CodeWalk::kRead);
        EXPECT_EQ(walkFor(stream, size / 64), CodeWalk::kRefused);
        EXPECT_EQ(walkFor(stream, 0), CodeWalk::kRefused);
    }
}

// A stream whose last block header takes bits past the end of the data (a fuzz finding): the
// walk refuses it in any room, and never reads past the data, even where the room narrows what
// it reads (under AddressSanitizer, a read past this exactly sized copy would show).
TEST(LibdeflatePolicy, ABlockThatStartsPastTheDataIsRefused) {
    const std::vector<std::uint8_t> stream = {
        0x3d, 0xd0, 0xb9, 0x0d, 0xe4, 0x50, 0x10, 0x03, 0xd1, 0x9c, 0x07, 0x30, 0x00, 0x06, 0x01,
        0x00, 0x00, 0x19, 0x1c, 0x1c, 0x1c, 0x1c, 0x1c, 0x1c, 0x0f, 0x3a, 0xff, 0x1c, 0xff, 0x1c};
    EXPECT_FALSE(zlibReadsDeflateCodes(stream.data(), stream.size()));
    for (std::size_t room : {std::size_t{0}, std::size_t{64}, std::size_t{16320}, SIZE_MAX}) {
        EXPECT_EQ(walkFor(stream, room), CodeWalk::kRefused) << room;
    }
}

}  // namespace
}  // namespace dz
