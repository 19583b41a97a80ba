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
// sub-tables past that, and the several-code table a block goes on in once it is long. Each
// stream's verdict must be zlib's own.

class BitWriter {
  public:
    // Appends `count` bits of `value`, least significant first.
    void bits(unsigned value, unsigned count) {
        for (unsigned i = 0; i < count; ++i) bit((value >> i) & 1u);
    }
    // Appends a codeword of `length` bits, most significant bit first.
    void code(unsigned codeword, unsigned length) {
        for (unsigned i = length; i-- > 0;) bit((codeword >> i) & 1u);
    }
    std::vector<std::uint8_t> bytes() const { return out_; }

  private:
    void bit(unsigned b) {
        if (used_ == 0) out_.push_back(0);
        out_.back() = static_cast<std::uint8_t>(out_.back() | b << used_);
        used_ = (used_ + 1) % 8;
    }
    std::vector<std::uint8_t> out_;
    unsigned used_ = 0;
};

// The canonical codewords of `lengths` (0 for unused symbols).
std::vector<unsigned> canonicalCodewords(const std::vector<unsigned>& lengths) {
    unsigned count[16] = {};
    for (unsigned length : lengths) ++count[length];
    count[0] = 0;
    unsigned next[16] = {};
    for (unsigned len = 1, codeword = 0; len < 16; ++len) {
        codeword = (codeword + count[len - 1]) << 1;
        next[len] = codeword;
    }
    std::vector<unsigned> codewords(lengths.size(), 0);
    for (std::size_t s = 0; s < lengths.size(); ++s) {
        if (lengths[s] != 0) codewords[s] = next[lengths[s]]++;
    }
    return codewords;
}

// Code lengths for `symbols`, in order: 1, 2, ..., n-1, n-1 bits, a complete code whose longest
// codeword has n-1 bits; the other symbols up to `size` are unused.
std::vector<unsigned> chainLengths(const std::vector<unsigned>& symbols, std::size_t size) {
    std::vector<unsigned> lengths(size, 0);
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        lengths[symbols[i]] = static_cast<unsigned>(std::min(i + 1, symbols.size() - 1));
    }
    return lengths;
}

// Symbols 'a', 'b', ... as many as `count`, then the end-of-block code and length 258 (285).
std::vector<unsigned> literalSymbols(unsigned count) {
    std::vector<unsigned> symbols;
    for (unsigned i = 0; i < count; ++i) symbols.push_back('a' + i);
    symbols.push_back(256);
    symbols.push_back(285);
    return symbols;
}

std::vector<unsigned> distanceSymbols(unsigned count) {
    std::vector<unsigned> symbols;
    for (unsigned i = 0; i < count; ++i) symbols.push_back(i);
    return symbols;
}

struct CodesCase {
    const char* name;
    std::vector<unsigned> literalLengths;   // 286
    std::vector<unsigned> distanceLengths;  // 1 or more
    unsigned rounds;           // each: every literal, then a match for every distance codeword
    int lastDistanceBit = -1;  // 0 or 1: at the end, a match with this bit as its distance code
};

// A last dynamic block: the code lengths (each sent as itself), then `rounds` rounds of every
// literal codeword followed by a length-258 match at each distance codeword, extra bits zero
// (each distance reaches back no further than the bytes before it), then, for lastDistanceBit,
// one more match whose distance code is that one bit, and the end-of-block code.
std::vector<std::uint8_t> dynamicBlock(const CodesCase& c) {
    static const unsigned kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};
    static const unsigned kDistanceExtra[30] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    // The code length code: 4 bits for symbols 0-12, 5 bits for 13-18 (complete).
    std::vector<unsigned> lengthCodeLengths(19, 4);
    for (unsigned s = 13; s < 19; ++s) lengthCodeLengths[s] = 5;
    const std::vector<unsigned> lengthCode = canonicalCodewords(lengthCodeLengths);
    BitWriter w;
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(static_cast<unsigned>(c.literalLengths.size() - 257), 5);
    w.bits(static_cast<unsigned>(c.distanceLengths.size() - 1), 5);
    w.bits(15, 4);
    for (unsigned symbol : kOrder) w.bits(lengthCodeLengths[symbol], 3);
    for (const auto* lengths : {&c.literalLengths, &c.distanceLengths}) {
        for (unsigned length : *lengths) w.code(lengthCode[length], lengthCodeLengths[length]);
    }
    const std::vector<unsigned> literals = canonicalCodewords(c.literalLengths);
    const std::vector<unsigned> distances = canonicalCodewords(c.distanceLengths);
    for (unsigned round = 0; round < c.rounds; ++round) {
        for (unsigned s = 0; s < 256; ++s) {
            if (c.literalLengths[s] != 0) w.code(literals[s], c.literalLengths[s]);
        }
        for (std::size_t d = 0; d < c.distanceLengths.size(); ++d) {
            if (c.distanceLengths[d] == 0) continue;
            w.code(literals[285], c.literalLengths[285]);
            w.code(distances[d], c.distanceLengths[d]);
            w.bits(0, kDistanceExtra[d]);
        }
    }
    if (c.lastDistanceBit >= 0) {
        w.code(literals[285], c.literalLengths[285]);
        w.bits(static_cast<unsigned>(c.lastDistanceBit), 1);
    }
    w.code(literals[256], c.literalLengths[256]);
    return w.bytes();
}

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
    // The one-code roots have at most 10 (literal/length) and 8 (distance) index bits, the
    // several-code table 11; a block goes on in the latter after 1024 steps. A round of a case
    // below takes 4 to 32 steps: 1 round stays in one-code steps, 300 go well past them.
    const std::vector<unsigned> twoDistances = {1, 1};
    std::vector<CodesCase> cases = {
        {"longest literal/length codeword 2 bits", chainLengths(literalSymbols(2), 286),
         twoDistances, 1},
        {"longest literal/length codeword 9 bits", chainLengths(literalSymbols(8), 286),
         twoDistances, 1},
        {"longest literal/length codeword 10 bits", chainLengths(literalSymbols(9), 286),
         twoDistances, 1},
        {"longest literal/length codeword 11 bits", chainLengths(literalSymbols(10), 286),
         twoDistances, 1},
        {"longest literal/length codeword 12 bits", chainLengths(literalSymbols(11), 286),
         twoDistances, 1},
        {"longest literal/length codeword 15 bits", chainLengths(literalSymbols(14), 286),
         twoDistances, 1},
        {"longest distance codeword 8 bits", chainLengths(literalSymbols(2), 286),
         chainLengths(distanceSymbols(9), 9), 1},
        {"longest distance codeword 9 bits", chainLengths(literalSymbols(2), 286),
         chainLengths(distanceSymbols(10), 10), 1},
        {"longest distance codeword 15 bits", chainLengths(literalSymbols(2), 286),
         chainLengths(distanceSymbols(16), 16), 1},
        {"longest distance codeword 15 bits, literal/length 10",
         chainLengths(literalSymbols(9), 286), chainLengths(distanceSymbols(16), 16), 1},
        {"single one-bit distance codeword, then its '0'",
         chainLengths(literalSymbols(2), 286),
         {1},
         1,
         0},
        {"single one-bit distance codeword, then its '1'",
         chainLengths(literalSymbols(2), 286),
         {1},
         1,
         1},
        {"empty distance code, then a match", chainLengths(literalSymbols(2), 286), {0}, 1, 0},
    };
    // The same codes in blocks long enough for the several-code table.
    const std::size_t oneCodeCases = cases.size();
    for (std::size_t i = 0; i < oneCodeCases; ++i) {
        CodesCase longer = cases[i];
        longer.rounds = 300;
        cases.push_back(longer);
    }
    for (const CodesCase& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.rounds) + " rounds");
        const std::vector<std::uint8_t> stream = dynamicBlock(c);
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

}  // namespace
}  // namespace dz
