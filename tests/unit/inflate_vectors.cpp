// The shared packed streams of the inflate tests.
#include "tests/unit/inflate_vectors.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vectors {

// ---------------------------------------------------------------------------------------------
// Content

Bytes textContent(std::size_t length) {
    static const char* const kWords[] = {"partition ", "boot ",   "image ",  "header ", "block ",
                                         "sparse ",    "chunk\n", "0x1000 ", "verify ", "name="};
    Bytes out;
    std::uint32_t x = 7;
    while (out.size() < length) {
        x = x * 1103515245u + 12345u;
        const char* word = kWords[(x >> 16) % 10];
        out.insert(out.end(), word, word + std::strlen(word));
    }
    out.resize(length);
    return out;
}

Bytes randomContent(std::size_t length, std::uint32_t seed) {
    Bytes out(length);
    for (auto& byte : out) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return out;
}

// Mostly a few byte values with rare others: long codewords (sub-tables) in dynamic blocks.
Bytes skewedContent(std::size_t length) {
    Bytes out = randomContent(length, 99);
    for (auto& byte : out) {
        if (byte < 150) {
            byte = 0;
        } else if (byte < 230) {
            byte = 'e';
        } else if (byte < 252) {
            byte = static_cast<std::uint8_t>('a' + byte % 26);
        }
    }
    return out;
}

// Zero runs, text, random bytes, skewed bytes and a repeated block, like a firmware image.
Bytes mixedContent() {
    Bytes out(3000, 0);
    const Bytes text = textContent(5000);
    const Bytes random = randomContent(4000, 5);
    const Bytes skewed = skewedContent(6000);
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), random.begin(), random.end());
    out.insert(out.end(), 700, 0xff);
    out.insert(out.end(), skewed.begin(), skewed.end());
    out.insert(out.end(), random.begin(), random.begin() + 1500);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes repeated(std::uint8_t byte, std::size_t count) {
    return Bytes(count, byte);
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---------------------------------------------------------------------------------------------
// Streams made with zlib's deflate

Bytes deflateWith(const Bytes& content, int level, int windowBits, int strategy,
                  const Bytes* dictionary) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
    if (dictionary != nullptr) {
        EXPECT_EQ(deflateSetDictionary(&stream, dictionary->data(),
                                       static_cast<uInt>(dictionary->size())),
                  Z_OK);
    }
    Bytes out(deflateBound(&stream, content.size()) + 64);
    stream.next_in = const_cast<Bytef*>(content.data());
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// Raw deflate data of `content` at level 6 with a full flush after every `every` bytes and no
// last block: it ends on a byte boundary, and a last block may follow.
Bytes deflateFlushedNotLast(const Bytes& content, std::size_t every) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&stream, content.size()) * 2 + 4096);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    for (std::size_t at = 0; at < content.size(); at += every) {
        stream.next_in = const_cast<Bytef*>(content.data() + at);
        stream.avail_in = static_cast<uInt>(std::min(every, content.size() - at));
        EXPECT_EQ(deflate(&stream, Z_FULL_FLUSH), Z_OK);
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

void putLe32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putBe32(Bytes& out, std::uint32_t value) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t adlerOf(const Bytes& content) {
    return static_cast<std::uint32_t>(
        adler32(adler32(0, nullptr, 0), content.data(), static_cast<uInt>(content.size())));
}

std::uint32_t crcOf(const Bytes& content) {
    return static_cast<std::uint32_t>(
        crc32(crc32(0, nullptr, 0), content.data(), static_cast<uInt>(content.size())));
}

// A zlib stream: two header bytes (CMF, then FLG with its check bits), `body`, Adler-32.
Bytes zlibWrap(const Bytes& body, const Bytes& content, std::uint8_t cmf = 0x78,
               std::uint8_t flagBits = 0x80) {
    std::uint8_t flg = flagBits & 0xe0;
    flg = static_cast<std::uint8_t>(flg + (31 - (cmf * 256u + flg) % 31) % 31);
    Bytes out = {cmf, flg};
    out.insert(out.end(), body.begin(), body.end());
    putBe32(out, adlerOf(content));
    return out;
}

struct GzipFields {
    std::uint8_t method = 8;
    std::uint8_t extraFlags = 0;  // FTEXT and reserved bits, added to those the fields imply
    Bytes extra;
    bool hasExtra = false;
    std::string name;
    std::string comment;
    bool headerCrc = false;
    bool wrongHeaderCrc = false;
};

// A gzip member built by hand: header with the given fields, `body`, CRC32 and ISIZE.
Bytes gzipWrap(const Bytes& body, const Bytes& content, const GzipFields& fields = {}) {
    std::uint8_t flags = fields.extraFlags;
    if (fields.headerCrc) flags |= 0x02;
    if (fields.hasExtra) flags |= 0x04;
    if (!fields.name.empty()) flags |= 0x08;
    if (!fields.comment.empty()) flags |= 0x10;
    Bytes out = {0x1f, 0x8b, fields.method, flags, 0x78, 0x56, 0x34, 0x12, 0x00, 0x03};
    if (fields.hasExtra) {
        out.push_back(static_cast<std::uint8_t>(fields.extra.size()));
        out.push_back(static_cast<std::uint8_t>(fields.extra.size() >> 8));
        out.insert(out.end(), fields.extra.begin(), fields.extra.end());
    }
    for (const std::string* text : {&fields.name, &fields.comment}) {
        if (text->empty()) continue;
        out.insert(out.end(), text->begin(), text->end());
        out.push_back(0);
    }
    if (fields.headerCrc) {
        std::uint32_t crc = crcOf(out) & 0xffff;
        if (fields.wrongHeaderCrc) crc ^= 0x0100;
        out.push_back(static_cast<std::uint8_t>(crc));
        out.push_back(static_cast<std::uint8_t>(crc >> 8));
    }
    out.insert(out.end(), body.begin(), body.end());
    putLe32(out, crcOf(content));
    putLe32(out, static_cast<std::uint32_t>(content.size()));
    return out;
}

// ---------------------------------------------------------------------------------------------
// Deflate streams written bit by bit, for the corners a compressor never produces

class BitWriter {
  public:
    // Appends `count` bits of `value`, least significant first (header fields, extra bits);
    // past the 32 bits of `value`, zero bits.
    void bits(unsigned value, unsigned count) {
        for (unsigned i = 0; i < count; ++i) bit(i < 32 ? (value >> i) & 1u : 0u);
    }
    // Appends a prefix codeword, most significant bit first.
    void code(std::pair<unsigned, unsigned> codeword) {
        for (unsigned i = codeword.second; i-- > 0;) bit((codeword.first >> i) & 1u);
    }
    void alignToByte() {
        while (used_ != 0) bit(0);
    }
    const Bytes& bytes() const { return out_; }

  private:
    void bit(unsigned b) {
        if (used_ == 0) out_.push_back(0);
        out_.back() = static_cast<std::uint8_t>(out_.back() | b << used_);
        used_ = (used_ + 1) % 8;
    }
    Bytes out_;
    unsigned used_ = 0;
};

using Code = std::vector<std::pair<unsigned, unsigned>>;  // per symbol: codeword, length

Code canonicalCode(const std::vector<unsigned>& lengths) {
    unsigned count[16] = {};
    for (unsigned length : lengths) ++count[length];
    count[0] = 0;
    unsigned next[16] = {};
    for (unsigned len = 1, codeword = 0; len < 16; ++len) {
        codeword = (codeword + count[len - 1]) << 1;
        next[len] = codeword;
    }
    Code code(lengths.size(), {0, 0});
    for (std::size_t s = 0; s < lengths.size(); ++s) {
        if (lengths[s] != 0) code[s] = {next[lengths[s]]++, lengths[s]};
    }
    return code;
}

const Code& fixedLiterals() {
    static const Code code = [] {
        std::vector<unsigned> lengths(288, 8);
        for (unsigned s = 144; s < 256; ++s) lengths[s] = 9;
        for (unsigned s = 256; s < 280; ++s) lengths[s] = 7;
        return canonicalCode(lengths);
    }();
    return code;
}

const Code& fixedDistances() {
    static const Code code = canonicalCode(std::vector<unsigned>(32, 5));
    return code;
}

// One code length code entry: a symbol and, for 16, 17 and 18, its extra bits.
struct LengthStep {
    unsigned symbol;
    unsigned extra = 0;
};

// Writes a dynamic block header. The code lengths go out one symbol each unless `steps` is
// given; the code length code gives 4 bits to symbols 0-12 and 5 bits to 13-18 (complete)
// unless `lengthCodeLengths` is given.
void dynamicHeader(BitWriter& w, bool last, const std::vector<unsigned>& literalLengths,
                   const std::vector<unsigned>& distanceLengths, std::vector<LengthStep> steps = {},
                   std::vector<unsigned> lengthCodeLengths = {}) {
    static const unsigned kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};
    if (lengthCodeLengths.empty()) {
        lengthCodeLengths.assign(19, 4);
        for (unsigned s = 13; s < 19; ++s) lengthCodeLengths[s] = 5;
    }
    if (steps.empty()) {
        for (unsigned length : literalLengths) steps.push_back({length});
        for (unsigned length : distanceLengths) steps.push_back({length});
    }
    w.bits(last ? 1 : 0, 1);
    w.bits(2, 2);
    w.bits(static_cast<unsigned>(literalLengths.size() - 257), 5);
    w.bits(static_cast<unsigned>(distanceLengths.size() - 1), 5);
    w.bits(15, 4);
    for (unsigned symbol : kOrder) w.bits(lengthCodeLengths[symbol], 3);
    const Code lengthCode = canonicalCode(lengthCodeLengths);
    for (const LengthStep& step : steps) {
        w.code(lengthCode[step.symbol]);
        if (step.symbol == 16) w.bits(step.extra, 2);
        if (step.symbol == 17) w.bits(step.extra, 3);
        if (step.symbol == 18) w.bits(step.extra, 7);
    }
}

// Literal/length code lengths giving 'a', 'b', end of block and length 3 two bits each.
std::vector<unsigned> abLiteralLengths(std::size_t count = 258) {
    std::vector<unsigned> lengths(count, 0);
    lengths['a'] = lengths['b'] = lengths[256] = lengths[257] = 2;
    return lengths;
}

std::vector<unsigned> twoDistanceLengths(std::size_t count = 2) {
    std::vector<unsigned> lengths(count, 0);
    lengths[0] = lengths[1] = 1;
    return lengths;
}

// A dynamic block "a", "b", then length 3 at distance 1 ("abbbb"), with the given codes.
Bytes abMatchBlock(const std::vector<unsigned>& literalLengths,
                   const std::vector<unsigned>& distanceLengths,
                   std::vector<LengthStep> steps = {}) {
    BitWriter w;
    dynamicHeader(w, true, literalLengths, distanceLengths, std::move(steps));
    const Code literals = canonicalCode(literalLengths);
    const Code distances = canonicalCode(distanceLengths);
    w.code(literals['a']);
    w.code(literals['b']);
    w.code(literals[257]);
    w.code(distances[0]);
    w.code(literals[256]);
    return w.bytes();
}

// Steps writing the "ab" literal/length lengths and then the two distance lengths, followed by
// `tail` steps (meant to run past the end of the list).
std::vector<LengthStep> abStepsThen(std::vector<LengthStep> tail, std::size_t distanceCount) {
    std::vector<LengthStep> steps;
    for (unsigned length : abLiteralLengths()) steps.push_back({length});
    for (std::size_t i = 0; i < distanceCount; ++i) steps.push_back({1});
    steps.insert(steps.end(), tail.begin(), tail.end());
    return steps;
}

// A stored block holding `content` (at most 65535 bytes).
void storedBlock(BitWriter& w, bool last, const Bytes& content) {
    w.bits(last ? 1 : 0, 1);
    w.bits(0, 2);
    w.alignToByte();
    const auto length = static_cast<unsigned>(content.size());
    w.bits(length, 16);
    w.bits(~length & 0xffffu, 16);
    for (std::uint8_t byte : content) w.bits(byte, 8);
}

// A fixed block: literal 'a', then length symbol `lengthSymbol` with no extra bits at distance
// symbol 0 (distance 1), then end of block.
Bytes fixedRunBlock(unsigned lengthSymbol) {
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    w.code(fixedLiterals()['a']);
    w.code(fixedLiterals()[lengthSymbol]);
    w.code(fixedDistances()[0]);
    w.code(fixedLiterals()[256]);
    return w.bytes();
}

// 50000 zero bytes in stored blocks, then a fixed block copying 3 bytes from distance symbol
// `distanceSymbol` (extra bits zero); whatever distance that is read as, the copy is zeros.
Bytes farCopyStream(unsigned distanceSymbol) {
    BitWriter w;
    storedBlock(w, false, repeated(0, 50000));
    w.bits(1, 1);
    w.bits(1, 2);
    w.code(fixedLiterals()[257]);
    w.code(fixedDistances()[distanceSymbol]);
    w.bits(0, distanceSymbol < 4 ? 0 : distanceSymbol / 2 - 1);
    w.code(fixedLiterals()[256]);
    return w.bytes();
}

// ---------------------------------------------------------------------------------------------
// The table

void addBothWrappers(std::vector<Vector>& table, const std::string& name, const Bytes& body,
                     bool accepted, const Bytes& content) {
    table.push_back({name + " (zlib)", zlibWrap(body, content), accepted, content});
    table.push_back({name + " (gzip)", gzipWrap(body, content), accepted, content});
}

std::vector<Vector> inflateVectors() {
    std::vector<Vector> table;
    const std::pair<const char*, Bytes> contents[] = {{"text", textContent(20000)},
                                                      {"zeros", repeated(0, 20000)},
                                                      {"random", randomContent(20000, 1)},
                                                      {"mixed", mixedContent()}};
    const std::pair<const char*, int> strategies[] = {{"default", Z_DEFAULT_STRATEGY},
                                                      {"filtered", Z_FILTERED},
                                                      {"huffman", Z_HUFFMAN_ONLY},
                                                      {"rle", Z_RLE},
                                                      {"fixed", Z_FIXED}};

    // zlib's own streams: both wrappers, levels, strategies, contents.
    for (const auto& [contentName, content] : contents) {
        for (int level : {0, 1, 6, 9}) {
            for (const auto& [strategyName, strategy] : strategies) {
                const std::string name = std::string(contentName) + " level " +
                                         std::to_string(level) + " " + strategyName;
                table.push_back(
                    {name + " zlib", deflateWith(content, level, 15, strategy), true, content});
                table.push_back(
                    {name + " gzip", deflateWith(content, level, 31, strategy), true, content});
            }
        }
    }

    const Bytes text = textContent(3000);
    const Bytes zlibText = deflateWith(text, 6, 15);
    const Bytes gzipText = deflateWith(text, 6, 31);
    const Bytes rawText = deflateWith(text, 6, -15);

    // Empty content, given no room and some room (see the output sizes in the test).
    table.push_back({"empty content zlib", deflateWith({}, 6, 15), true, {}});
    table.push_back({"empty content gzip", deflateWith({}, 6, 31), true, {}});
    table.push_back({"empty content stored zlib", deflateWith({}, 0, 15), true, {}});

    // Bytes after the end of the stream are ignored, a second gzip member too.
    table.push_back({"zlib trailing bytes", concat(zlibText, bytesOf("trailing")), true, text});
    table.push_back({"gzip trailing bytes", concat(gzipText, bytesOf("trailing")), true, text});
    table.push_back(
        {"gzip second member", concat(gzipText, deflateWith(bytesOf("x"), 6, 31)), true, text});
    table.push_back({"zlib trailing zlib stream", concat(zlibText, zlibText), true, text});

    // gzip headers built by hand.
    {
        GzipFields fields;
        fields.name = "system.img";
        table.push_back({"gzip name", gzipWrap(rawText, text, fields), true, text});
        fields = {};
        fields.comment = "built for test";
        table.push_back({"gzip comment", gzipWrap(rawText, text, fields), true, text});
        fields = {};
        fields.hasExtra = true;
        fields.extra = bytesOf("AB\x04\x00wxyz");
        table.push_back({"gzip extra field", gzipWrap(rawText, text, fields), true, text});
        fields.extra.clear();
        table.push_back({"gzip empty extra field", gzipWrap(rawText, text, fields), true, text});
        fields = {};
        fields.headerCrc = true;
        table.push_back({"gzip header crc", gzipWrap(rawText, text, fields), true, text});
        fields.wrongHeaderCrc = true;
        table.push_back({"gzip wrong header crc", gzipWrap(rawText, text, fields), false, text});
        fields = {};
        fields.hasExtra = true;
        fields.extra = bytesOf("KX\x02\x00hi");
        fields.name = "boot.img";
        fields.comment = "all fields";
        fields.headerCrc = true;
        table.push_back({"gzip all fields", gzipWrap(rawText, text, fields), true, text});
        fields.wrongHeaderCrc = true;
        table.push_back(
            {"gzip all fields wrong header crc", gzipWrap(rawText, text, fields), false, text});
        fields = {};
        fields.extraFlags = 0x01;  // FTEXT: a hint only
        table.push_back({"gzip text flag", gzipWrap(rawText, text, fields), true, text});
        for (std::uint8_t reserved : {0x20, 0x40, 0x80}) {
            fields.extraFlags = reserved;
            table.push_back({"gzip reserved flag " + std::to_string(reserved),
                             gzipWrap(rawText, text, fields), false, text});
        }
        fields = {};
        fields.method = 7;
        table.push_back({"gzip method 7", gzipWrap(rawText, text, fields), false, text});
        fields.method = 9;
        table.push_back({"gzip method 9", gzipWrap(rawText, text, fields), false, text});
    }

    // zlib headers built by hand: window size field, method, check bits, preset dictionary.
    {
        const Bytes small = bytesOf("firmware firmware firmware image image image");
        const Bytes smallRaw = deflateWith(small, 6, -15);
        for (unsigned info = 0; info < 16; ++info) {
            table.push_back({"zlib window field " + std::to_string(info),
                             zlibWrap(smallRaw, small, static_cast<std::uint8_t>(info << 4 | 8)),
                             info <= 7, small});
        }
        for (unsigned method : {0u, 7u, 9u, 15u}) {
            table.push_back({"zlib method " + std::to_string(method),
                             zlibWrap(smallRaw, small, static_cast<std::uint8_t>(0x70 | method)),
                             false, small});
        }
        Bytes badCheck = zlibWrap(smallRaw, small);
        badCheck[1] ^= 0x01;
        table.push_back({"zlib header check bits wrong", badCheck, false, small});
        table.push_back(
            {"zlib dictionary flag", zlibWrap(smallRaw, small, 0x78, 0xa0), false, small});
        const Bytes dictionary = bytesOf("firmware image");
        table.push_back({"zlib preset dictionary",
                         deflateWith(small, 6, 15, Z_DEFAULT_STRATEGY, &dictionary), false, small});
        table.push_back({"no wrapper", rawText, false, text});
        table.push_back({"no wrapper, small", smallRaw, false, small});
    }

    // Damage: a flipped bit in the data and in each check value.
    {
        Bytes damaged = zlibText;
        damaged[zlibText.size() / 2] ^= 0x10;
        table.push_back({"zlib flipped data bit", damaged, false, text});
        damaged = gzipText;
        damaged[gzipText.size() / 2] ^= 0x10;
        table.push_back({"gzip flipped data bit", damaged, false, text});
        damaged = zlibText;
        damaged[zlibText.size() - 1] ^= 0x01;
        table.push_back({"zlib flipped adler32 bit", damaged, false, text});
        damaged = gzipText;
        damaged[gzipText.size() - 8] ^= 0x80;
        table.push_back({"gzip flipped crc32 bit", damaged, false, text});
        damaged = gzipText;
        damaged[gzipText.size() - 4] ^= 0x01;
        table.push_back({"gzip flipped isize bit", damaged, false, text});
        const Bytes stored = deflateWith(text, 0, 31);
        damaged = stored;
        damaged[100] ^= 0x04;
        table.push_back({"gzip stored flipped data bit", damaged, false, text});
    }

    // Cut short at every length.
    {
        const Bytes small = textContent(400);
        GzipFields fields;
        fields.hasExtra = true;
        fields.extra = bytesOf("XY\x01\x00z");
        fields.name = "n";
        fields.comment = "c";
        fields.headerCrc = true;
        const std::pair<const char*, Bytes> whole[] = {
            {"zlib", deflateWith(small, 6, 15)},
            {"gzip", deflateWith(small, 6, 31)},
            {"gzip all fields", gzipWrap(deflateWith(small, 6, -15), small, fields)},
            {"zlib stored", deflateWith(small, 0, 15)},
            {"zlib empty", deflateWith({}, 6, 15)},
            {"gzip empty", deflateWith({}, 6, 31)}};
        for (const auto& [name, stream] : whole) {
            const bool empty = std::string(name).find("empty") != std::string::npos;
            const Bytes content = empty ? Bytes{} : small;
            for (std::size_t cut = 0; cut < stream.size(); ++cut) {
                table.push_back({std::string(name) + " cut to " + std::to_string(cut),
                                 Bytes(stream.begin(), stream.begin() + cut), false, content});
            }
        }
        table.push_back({"one byte 1f", {0x1f}, false, {}});
        table.push_back({"gzip magic only", {0x1f, 0x8b}, false, {}});
        table.push_back({"one byte 78", {0x78}, false, {}});
        table.push_back({"zlib header only", {0x78, 0x9c}, false, {}});
    }

    // Deflate streams written by hand, in both wrappers with the check values of `content`:
    // for the refused ones, `content` is what a decoder reading past zlib's rules would produce,
    // so that only the deflate data can be why they are refused.
    {
        const Bytes abbbb = bytesOf("abbbb");
        const Bytes run259 = repeated('a', 259);
        addBothWrappers(table, "fixed length 258 (symbol 285)", fixedRunBlock(285), true, run259);
        addBothWrappers(table, "fixed length symbol 286", fixedRunBlock(286), false, run259);
        addBothWrappers(table, "fixed length symbol 287", fixedRunBlock(287), false, run259);
        // The same last blocks after 320 KiB of text flushed every 1,000 bytes, a stream the
        // libdeflate backend leaves to zlib long before the walk reaches them.
        {
            const Bytes text = textContent(320 * 1024);
            const Bytes flushed = deflateFlushedNotLast(text, 1000);
            const Bytes content = concat(text, run259);
            addBothWrappers(table, "flushed, then fixed length 258 (symbol 285)",
                            concat(flushed, fixedRunBlock(285)), true, content);
            addBothWrappers(table, "flushed, then fixed length symbol 286",
                            concat(flushed, fixedRunBlock(286)), false, content);
        }
        const Bytes zeros = repeated(0, 50003);
        addBothWrappers(table, "fixed distance symbol 29", farCopyStream(29), true, zeros);
        addBothWrappers(table, "fixed distance symbol 30", farCopyStream(30), false, zeros);
        addBothWrappers(table, "fixed distance symbol 31", farCopyStream(31), false, zeros);

        addBothWrappers(table, "dynamic", abMatchBlock(abLiteralLengths(), twoDistanceLengths()),
                        true, abbbb);
        addBothWrappers(table, "dynamic 286 length codes",
                        abMatchBlock(abLiteralLengths(286), twoDistanceLengths()), true, abbbb);
        addBothWrappers(table, "dynamic 287 length codes",
                        abMatchBlock(abLiteralLengths(287), twoDistanceLengths()), false, abbbb);
        addBothWrappers(table, "dynamic 288 length codes",
                        abMatchBlock(abLiteralLengths(288), twoDistanceLengths()), false, abbbb);
        addBothWrappers(table, "dynamic 30 distance codes",
                        abMatchBlock(abLiteralLengths(), twoDistanceLengths(30)), true, abbbb);
        addBothWrappers(table, "dynamic 31 distance codes",
                        abMatchBlock(abLiteralLengths(), twoDistanceLengths(31)), false, abbbb);
        addBothWrappers(table, "dynamic 32 distance codes",
                        abMatchBlock(abLiteralLengths(), twoDistanceLengths(32)), false, abbbb);

        // Code length repeats that end exactly at, or run past, the end of the list.
        const std::vector<unsigned> threeDistances = {1, 1, 0};
        addBothWrappers(table, "repeat across into the distance lengths",
                        abMatchBlock(abLiteralLengths(), {2, 2, 2, 2}, abStepsThen({{16, 1}}, 0)),
                        true, abbbb);  // the last literal/length length, four more times
        addBothWrappers(
            table, "repeat 17 exactly to the end",
            abMatchBlock(abLiteralLengths(), {1, 1, 0, 0, 0}, abStepsThen({{17, 0}}, 2)), true,
            abbbb);
        addBothWrappers(
            table, "repeat 16 past the end",
            abMatchBlock(abLiteralLengths(), twoDistanceLengths(), abStepsThen({{1}, {16, 0}}, 0)),
            false, abbbb);
        addBothWrappers(table, "repeat 17 past the end",
                        abMatchBlock(abLiteralLengths(), threeDistances, abStepsThen({{17, 0}}, 2)),
                        false, abbbb);
        addBothWrappers(table, "repeat 18 past the end",
                        abMatchBlock(abLiteralLengths(), threeDistances, abStepsThen({{18, 0}}, 2)),
                        false, abbbb);
        {
            std::vector<LengthStep> steps = {{16, 0}};
            for (unsigned length : abLiteralLengths()) steps.push_back({length});
            steps.erase(steps.begin() + 1, steps.begin() + 4);  // 16 stands for the first three
            steps.push_back({1});
            steps.push_back({1});
            addBothWrappers(table, "repeat with nothing before it",
                            abMatchBlock(abLiteralLengths(), twoDistanceLengths(), steps), false,
                            abbbb);
        }

        // Codes with a single one-bit codeword, and an empty distance code.
        for (unsigned bit : {0u, 1u}) {
            BitWriter w;
            dynamicHeader(w, true, abLiteralLengths(), {1});
            const Code literals = canonicalCode(abLiteralLengths());
            w.code(literals['a']);
            w.code(literals['b']);
            w.code(literals[257]);
            w.bits(bit, 1);
            w.code(literals[256]);
            addBothWrappers(table, "single distance codeword, bit " + std::to_string(bit),
                            w.bytes(), bit == 0, abbbb);
        }
        for (unsigned bit : {0u, 1u}) {
            std::vector<unsigned> endOnly(257, 0);
            endOnly[256] = 1;
            BitWriter w;
            dynamicHeader(w, true, endOnly, {1, 1});
            w.bits(bit, 1);
            addBothWrappers(table, "single end-of-block codeword, bit " + std::to_string(bit),
                            w.bytes(), bit == 0, {});
        }
        for (bool match : {false, true}) {
            BitWriter w;
            dynamicHeader(w, true, abLiteralLengths(), {0});
            const Code literals = canonicalCode(abLiteralLengths());
            w.code(literals['a']);
            w.code(literals['b']);
            if (match) {
                w.code(literals[257]);
                w.bits(0, 1);
            }
            w.code(literals[256]);
            addBothWrappers(table,
                            std::string("empty distance code, ") + (match ? "match" : "literals"),
                            w.bytes(), !match, match ? abbbb : bytesOf("ab"));
        }

        // Code sets zlib refuses.
        {
            std::vector<unsigned> incomplete = abLiteralLengths();
            incomplete[257] = 0;
            addBothWrappers(table, "incomplete literal code",
                            abMatchBlock(incomplete, twoDistanceLengths()), false, abbbb);
            std::vector<unsigned> oversubscribed = abLiteralLengths();
            oversubscribed['c'] = 2;
            addBothWrappers(table, "oversubscribed literal code",
                            abMatchBlock(oversubscribed, twoDistanceLengths()), false, abbbb);
            std::vector<unsigned> noEnd(258, 0);
            noEnd['a'] = noEnd['b'] = noEnd['c'] = noEnd[257] = 2;
            BitWriter w;
            dynamicHeader(w, true, noEnd, twoDistanceLengths());
            w.bits(0, 24);
            addBothWrappers(table, "no end-of-block codeword", w.bytes(), false, {});
            std::vector<unsigned> incompleteLengthCode(19, 0);
            for (unsigned s : {0u, 1u, 2u}) incompleteLengthCode[s] = 2;
            BitWriter v;
            dynamicHeader(v, true, std::vector<unsigned>(258, 0), {0}, {}, incompleteLengthCode);
            v.bits(0, 300);
            addBothWrappers(table, "incomplete code length code", v.bytes(), false, {});
        }

        // Stored blocks, block types, distances.
        {
            const Bytes data = randomContent(1000, 3);
            BitWriter w;
            storedBlock(w, true, data);
            addBothWrappers(table, "stored block", w.bytes(), true, data);
            Bytes badLength = w.bytes();
            badLength[3] ^= 0x01;  // the complement of the length
            addBothWrappers(table, "stored block length check wrong", badLength, false, data);
            BitWriter e;
            storedBlock(e, true, {});
            addBothWrappers(table, "empty stored block", e.bytes(), true, {});

            BitWriter reserved;
            reserved.bits(1, 1);
            reserved.bits(3, 2);
            reserved.bits(0, 13);
            addBothWrappers(table, "block type 3", reserved.bytes(), false, {});

            BitWriter far;  // one literal, then a copy from two bytes back
            far.bits(1, 1);
            far.bits(1, 2);
            far.code(fixedLiterals()['a']);
            far.code(fixedLiterals()[257]);
            far.code(fixedDistances()[1]);
            far.code(fixedLiterals()[256]);
            addBothWrappers(table, "distance too far back", far.bytes(), false, bytesOf("a"));

            BitWriter blocks;  // a fixed block, a stored block, a dynamic block
            blocks.bits(0, 1);
            blocks.bits(1, 2);
            for (char c : std::string("xyz"))
                blocks.code(fixedLiterals()[static_cast<unsigned char>(c)]);
            blocks.code(fixedLiterals()[256]);
            storedBlock(blocks, false, bytesOf("123"));
            dynamicHeader(blocks, true, abLiteralLengths(), twoDistanceLengths());
            const Code literals = canonicalCode(abLiteralLengths());
            blocks.code(literals['b']);
            blocks.code(literals[256]);
            addBothWrappers(table, "three block types", blocks.bytes(), true, bytesOf("xyz123b"));
        }
    }
    return table;
}

// ---------------------------------------------------------------------------------------------
// Dynamic blocks for the deflate code check

namespace codes {

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

}  // namespace codes

using codes::chainLengths;
using codes::distanceSymbols;
using codes::literalSymbols;

std::vector<CodesCase> codesCases() {
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
    return cases;
}

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
    const std::vector<unsigned> lengthCode = codes::canonicalCodewords(lengthCodeLengths);
    codes::BitWriter w;
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(static_cast<unsigned>(c.literalLengths.size() - 257), 5);
    w.bits(static_cast<unsigned>(c.distanceLengths.size() - 1), 5);
    w.bits(15, 4);
    for (unsigned symbol : kOrder) w.bits(lengthCodeLengths[symbol], 3);
    for (const auto* lengths : {&c.literalLengths, &c.distanceLengths}) {
        for (unsigned length : *lengths) w.code(lengthCode[length], lengthCodeLengths[length]);
    }
    const std::vector<unsigned> literals = codes::canonicalCodewords(c.literalLengths);
    const std::vector<unsigned> distances = codes::canonicalCodewords(c.distanceLengths);
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

}  // namespace vectors
