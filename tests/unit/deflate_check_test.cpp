// The deflate code check on raw streams: a whole stream reads to its end, a cut one never does
// (and the check always comes back); on blocks whose codes sit at the edges of its tables, it
// says what zlib says; and the walk for the libdeflate backend leaves to zlib the kinds of
// stream it should, and no others.
#include "dzlib/deflate_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/inflate_vectors.h"

namespace dz {
namespace {

std::vector<std::uint8_t> rawDeflate(const std::string& content, int level, int strategy) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    std::vector<std::uint8_t> out(deflateBound(&stream, content.size()));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

TEST(DeflateCheck, WholeStreamsPassAndCutOnesFail) {
    std::string content;
    for (int i = 0; i < 3000; ++i) content += "line " + std::to_string(i * 7919 % 1000) + "\n";
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
        for (int level : {0, 1, 9}) {
            const std::vector<std::uint8_t> stream = rawDeflate(content, level, strategy);
            EXPECT_TRUE(zlibReadsDeflateCodes(stream.data(), stream.size()))
                << level << " " << strategy;
            for (std::size_t cut = 0; cut < stream.size(); cut += 1 + cut / 16) {
                // Exactly sized, so that a read past the end shows under AddressSanitizer.
                std::vector<std::uint8_t> part(stream.begin(), stream.begin() + cut);
                EXPECT_FALSE(zlibReadsDeflateCodes(part.data(), part.size()))
                    << level << " " << strategy << " cut at " << cut;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Dynamic blocks written bit by bit, with codes chosen for the edges of the check's tables: a
// root table as long as the block's longest codeword and no longer (up to its largest size),
// sub-tables past that, and the several-code table a block goes on in once it is long
// (tests/unit/inflate_vectors.h). Each stream's verdict must be zlib's own.

// zlib's verdict on a raw deflate stream: true when inflate reads it to its end.
bool zlibInflates(const std::vector<std::uint8_t>& stream) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    std::vector<std::uint8_t> out(1 << 22);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return result == Z_STREAM_END;
}

TEST(DeflateCheck, CodesAtTheEdgesOfTheTables) {
    for (const vectors::CodesCase& c : vectors::codesCases()) {
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.rounds) + " rounds");
        const std::vector<std::uint8_t> stream = vectors::dynamicBlock(c);
        const bool accepted = zlibInflates(stream);
        EXPECT_EQ(accepted,
                  c.lastDistanceBit < 0 || (c.lastDistanceBit == 0 && c.distanceLengths[0] != 0));
        EXPECT_EQ(zlibReadsDeflateCodes(stream.data(), stream.size()), accepted);
        // Cut anywhere, the stream is refused.
        for (std::size_t cut : {stream.size() / 2, stream.size() - 1}) {
            const std::vector<std::uint8_t> part(stream.begin(), stream.begin() + cut);
            EXPECT_FALSE(zlibReadsDeflateCodes(part.data(), part.size())) << "cut at " << cut;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Which streams walkDeflateCodes leaves to zlib.

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

TEST(DeflateCheck, LeftToZlibOnlyWhereTheRuleSays) {
    const std::string words = wordContent(384 * 1024);
    const std::string letters = wordContent(256 * 1024, 8);
    const struct {
        const char* name;
        std::vector<StreamPart> parts;
        CodeWalk expected;
    } cases[] = {
        {"level 6", {{words, Z_DEFAULT_STRATEGY, 0}}, CodeWalk::kRead},
        {"Huffman-only: literal-only blocks", {{words, Z_HUFFMAN_ONLY, 0}}, CodeWalk::kLeftToZlib},
        {"Huffman-only, under kWalkedWholeSize",
         {{words.substr(0, 64 * 1024), Z_HUFFMAN_ONLY, 0}},
         CodeWalk::kRead},
        {"a full flush every 1,000 bytes: short blocks of many codes",
         {{words, Z_DEFAULT_STRATEGY, 1000}},
         CodeWalk::kLeftToZlib},
        {"a full flush every 1,000 bytes of 8 letters: short blocks of few codes",
         {{letters, Z_DEFAULT_STRATEGY, 1000}},
         CodeWalk::kRead},
        {"level 6 for a fifth of the data, then a full flush every 1,000 bytes",
         {{words, Z_DEFAULT_STRATEGY, 0}, {words + words + words, Z_DEFAULT_STRATEGY, 1000}},
         CodeWalk::kLeftToZlib},
        {"level 6 well past the first quarter, then a full flush every 1,000 bytes",
         {{words + words + words + words, Z_DEFAULT_STRATEGY, 0},
          {words.substr(0, 128 * 1024), Z_DEFAULT_STRATEGY, 1000}},
         CodeWalk::kRead},
        {"Huffman-only, then level 6",
         {{words, Z_HUFFMAN_ONLY, 0}, {words + words, Z_DEFAULT_STRATEGY, 0}},
         CodeWalk::kLeftToZlib},
        {"level 6 past the first quarter, then Huffman-only",
         {{words + words, Z_DEFAULT_STRATEGY, 0}, {words, Z_HUFFMAN_ONLY, 0}},
         CodeWalk::kRead},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> stream = rawDeflateParts(c.parts);
        EXPECT_EQ(zlibReadsDeflateCodes(stream.data(), stream.size()), true);
        EXPECT_EQ(walkDeflateCodes(stream.data(), stream.size(), SIZE_MAX), c.expected)
            << stream.size() << " bytes";
    }
}

// The walk stops where the codes make more bytes than the output has room for: zlib refuses
// such a stream too, and the walk is then never longer than libdeflate's.
TEST(DeflateCheck, WalkStopsPastTheRoom) {
    const std::string words = wordContent(48 * 1024);  // under kWalkedWholeSize packed
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_HUFFMAN_ONLY}) {
        SCOPED_TRACE(strategy);
        const std::vector<std::uint8_t> stream = rawDeflateParts({{words, strategy, 0}});
        const std::size_t size = words.size();
        EXPECT_EQ(walkDeflateCodes(stream.data(), stream.size(), size), CodeWalk::kRead);
        EXPECT_EQ(walkDeflateCodes(stream.data(), stream.size(), size / 64), CodeWalk::kRefused);
        EXPECT_EQ(walkDeflateCodes(stream.data(), stream.size(), 0), CodeWalk::kRefused);
    }
}

// A stream whose last block header takes bits past the end of the data (a fuzz finding): the
// walk refuses it in any room, and never reads past the data, even where the room narrows what
// it reads (under AddressSanitizer, a read past this exactly sized copy would show).
TEST(DeflateCheck, ABlockThatStartsPastTheDataIsRefused) {
    const std::vector<std::uint8_t> stream = {
        0x3d, 0xd0, 0xb9, 0x0d, 0xe4, 0x50, 0x10, 0x03, 0xd1, 0x9c, 0x07, 0x30, 0x00, 0x06, 0x01,
        0x00, 0x00, 0x19, 0x1c, 0x1c, 0x1c, 0x1c, 0x1c, 0x1c, 0x0f, 0x3a, 0xff, 0x1c, 0xff, 0x1c};
    EXPECT_FALSE(zlibInflates(stream));
    for (std::size_t room : {std::size_t{0}, std::size_t{64}, std::size_t{16320}, SIZE_MAX}) {
        EXPECT_EQ(walkDeflateCodes(stream.data(), stream.size(), room), CodeWalk::kRefused) << room;
    }
}

}  // namespace
}  // namespace dz
