// Repacking a changed piece from its original stream: over originals of every kind zlib and
// libdeflate make, and changes anywhere, the result inflates with both backends to exactly the
// new content, keeps the original's bits where its content is unchanged, and is the same every
// time; originals that cannot be spliced are compressed whole.
#include "dzlib/repack.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dzlib/compress.h"
#include "dzlib/inflate.h"
#include "dzlib/stream_join.h"

namespace dz {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::size_t length, std::uint32_t seed) {
    Bytes out(length);
    for (auto& byte : out) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return out;
}

// 1 MiB like a firmware image: text, zero runs, random bytes and repeats.
Bytes firmwareLike() {
    static const char* const kWords[] = {"partition ", "boot ", "image ", "sparse ", "chunk\n"};
    Bytes out;
    std::uint32_t x = 11;
    while (out.size() < (1u << 20)) {
        x = x * 1103515245u + 12345u;
        switch (x >> 28) {
            case 0:
                out.insert(out.end(), 3000 + (x & 0xfff), 0);
                break;
            case 1: {
                const Bytes random = randomBytes(2000 + (x & 0x7ff), x);
                out.insert(out.end(), random.begin(), random.end());
                break;
            }
            case 2:
                if (out.size() > 70000) {
                    const std::size_t from = out.size() - 60000 + (x & 0x3fff);
                    out.insert(out.end(), out.begin() + from, out.begin() + from + 5000);
                }
                break;
            default:
                for (int w = 0; w < 40; ++w) {
                    const char* word = kWords[(x >> (w % 24)) % 5];
                    out.insert(out.end(), word, word + std::strlen(word));
                }
        }
    }
    out.resize(1u << 20);
    // 10,000 random bytes over and over from 800 KiB to 900 KiB: each copy is one match back.
    const Bytes period = randomBytes(10000, 17);
    for (std::size_t at = 800 << 10; at < (900 << 10); at += period.size()) {
        std::copy(period.begin(), period.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    }
    // The same 64 KiB of random bytes twice, from 600 KiB on.
    const Bytes twice = randomBytes(64 << 10, 21);
    std::copy(twice.begin(), twice.end(), out.begin() + (600 << 10));
    std::copy(twice.begin(), twice.end(), out.begin() + (664 << 10));
    return out;
}

// How an original stream is made.
struct Original {
    const char* what;
    std::function<Bytes(const Bytes&)> make;
    bool gzip;
    bool splices;  // reuse is possible
};

// zlib's deflate over `content`: `flush` every `flushEvery` bytes when not 0; a gzip wrapper
// when `gzip`; a preset dictionary when `dictionary`.
Bytes zlibStream(const Bytes& content, int level, int strategy, std::size_t flushEvery, int flush,
                 bool gzip, bool dictionary = false) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, gzip ? 31 : 15, 8, strategy), Z_OK);
    if (dictionary) deflateSetDictionary(&s, reinterpret_cast<const Bytef*>("boot image "), 11);
    Bytes out(deflateBound(&s, content.size()) + content.size() / 100 + 1024);
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    std::size_t at = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        const std::size_t step = flushEvery ? flushEvery : content.size();
        const std::size_t piece = std::min(step, content.size() - at);
        s.next_in = const_cast<Bytef*>(content.data() + at);
        s.avail_in = static_cast<uInt>(piece);
        at += piece;
        result = deflate(&s, at == content.size() ? Z_FINISH : flush);
        EXPECT_TRUE(result == Z_OK || result == Z_STREAM_END);
    }
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

Bytes packed(const Bytes& content, bool gzip) {
    Wrapper wrapper;
    wrapper.gzip = gzip;
    platform::Memory room = platform::Memory::reserve(packedBound(content.size(), wrapper));
    std::size_t length = 0;
    EXPECT_TRUE(packContent(content.data(), content.size(), wrapper, 6, room, length));
    return Bytes(room.bytes(), room.bytes() + length);
}

std::vector<Original> originals() {
    const auto zlib = [](int level, int strategy, std::size_t flushEvery, int flush,
                         bool gzip = false) {
        return
            [=](const Bytes& c) { return zlibStream(c, level, strategy, flushEvery, flush, gzip); };
    };
    // zlib's stream with a bit changed `fromEnd` bytes before its end, in the trailer.
    const auto badTrailer = [](bool gzip, std::size_t fromEnd) {
        return [=](const Bytes& c) {
            Bytes s = zlibStream(c, 6, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, gzip);
            s[s.size() - fromEnd] ^= 0x01;
            return s;
        };
    };
    return {
        {"zlib, level 1", zlib(1, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH), false, true},
        {"zlib, level 6", zlib(6, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH), false, true},
        {"zlib, level 9, gzip", zlib(9, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, true), true, true},
        {"zlib, full flush every 3,000 bytes", zlib(6, Z_DEFAULT_STRATEGY, 3000, Z_FULL_FLUSH),
         false, true},
        // Blocks of 3,000 bytes whose matches reach back past the blocks before them.
        {"zlib, sync flush every 3,000 bytes", zlib(6, Z_DEFAULT_STRATEGY, 3000, Z_SYNC_FLUSH),
         false, true},
        {"zlib, stored", zlib(0, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH), false, true},
        {"zlib, fixed codes", zlib(6, Z_FIXED, 0, Z_NO_FLUSH), false, true},
        // No matches: the end-of-block code is the longest, all ones, so the bits kept in a
        // partial byte end in a one.
        {"zlib, Huffman codes only", zlib(6, Z_HUFFMAN_ONLY, 0, Z_NO_FLUSH), false, true},
        {"packContent (libdeflate where built)", [](const Bytes& c) { return packed(c, false); },
         false, true},
        {"packContent, gzip", [](const Bytes& c) { return packed(c, true); }, true, true},
        {"a preset dictionary",
         [](const Bytes& c) {
             return zlibStream(c, 6, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, false, true);
         },
         false, false},
        {"bytes after the trailer",
         [](const Bytes& c) {
             Bytes s = zlibStream(c, 6, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, false);
             s.push_back(0);
             return s;
         },
         false, false},
        // A trailer that does not hold what the stream gives: its Adler-32, its CRC-32, its length.
        {"a wrong Adler-32", badTrailer(false, 4), false, false},
        {"a wrong CRC-32", badTrailer(true, 5), true, false},
        {"a wrong length", badTrailer(true, 1), true, false},
        {"damaged in its last block",
         [](const Bytes& c) {
             Bytes s = zlibStream(c, 6, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, false);
             s[s.size() - 40] ^= 0x10;
             return s;
         },
         false, false},
    };
}

// A change to the content, and what of the original it leaves to keep.
enum class Kept { no, yes, maybe };  // maybe: as the original's blocks fall
struct Change {
    const char* what;
    std::function<void(Bytes&)> apply;
    Kept head, tail;   // the original's first or last blocks
    std::size_t span;  // new bytes from the first changed to the last, or to the end; 0: none
};

std::vector<Change> changes() {
    return {
        {"one byte at the start", [](Bytes& c) { c[0] ^= 1; }, Kept::no, Kept::yes, 1},
        {"one byte a third in", [](Bytes& c) { c[c.size() / 3] ^= 0x80; }, Kept::yes, Kept::yes, 1},
        {"one byte at the end", [](Bytes& c) { c.back() ^= 1; }, Kept::yes, Kept::no, 1},
        // With a full flush every 3,000 bytes, the final block (the last 1,576 bytes) is the first
        // with a window past the change.
        {"one byte 32 KiB before the last 1,576", [](Bytes& c) { c[c.size() - 1576 - 32769] ^= 1; },
         Kept::yes, Kept::maybe, 34346},
        {"two bytes, a third and a half in",
         [](Bytes& c) {
             c[c.size() / 3] ^= 1;
             c[c.size() / 2] ^= 1;
         },
         Kept::yes, Kept::yes, (1 << 20) / 6},
        // The shared start runs into the second copy and the shared end back into the first: the
        // new blocks must still begin before they end.
        {"one of two like 64 KiB cut",
         [](Bytes& c) { c.erase(c.begin() + (664 << 10), c.begin() + (728 << 10)); }, Kept::yes,
         Kept::yes, 0},
        // Without a window of unchanged content before the blocks kept after it, those of the
        // streams with a flush every 3,000 bytes would copy the changed byte 10,000 bytes on.
        {"one byte in a repeated stretch", [](Bytes& c) { c[820 << 10] ^= 1; }, Kept::yes,
         Kept::maybe, 1},
        {"128 KiB in the middle",
         [](Bytes& c) {
             const Bytes r = randomBytes(128 << 10, 3);
             std::copy(r.begin(), r.end(), c.begin() + c.size() / 2);
         },
         Kept::yes, Kept::yes, 128 << 10},
        {"grown by 5,000 bytes in the middle",
         [](Bytes& c) {
             const Bytes r = randomBytes(5000, 4);
             c.insert(c.begin() + c.size() / 2, r.begin(), r.end());
         },
         Kept::yes, Kept::yes, 5000},
        {"shrunk by 7,000 bytes a third in",
         [](Bytes& c) { c.erase(c.begin() + c.size() / 3, c.begin() + c.size() / 3 + 7000); },
         Kept::yes, Kept::yes, 0},
        {"1,000 bytes added at the end", [](Bytes& c) { c.insert(c.end(), 1000, 'x'); }, Kept::yes,
         Kept::no, 1000},
        {"cut short by 1,000 bytes", [](Bytes& c) { c.resize(c.size() - 1000); }, Kept::yes,
         Kept::no, 0},
        {"empty", [](Bytes& c) { c.clear(); }, Kept::no, Kept::no, 0},
        {"all of it new", [](Bytes& c) { c = randomBytes(c.size(), 9); }, Kept::no, Kept::no, 0},
    };
}

// True when `packedStream` inflates with every backend to exactly `content`.
void expectInflatesTo(const Bytes& packedStream, const Bytes& content, const std::string& what) {
    using Backend =
        bool (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t, std::size_t&);
    std::vector<std::pair<const char*, Backend>> backends = {{"zlib", inflateWithZlib}};
#ifdef KESTRIX_LIBDEFLATE_LINKED
    backends.push_back({"libdeflate", inflateWithLibdeflate});
#endif
    for (const auto& [name, inflate] : backends) {
        Bytes out(content.size() + 1);
        std::size_t length = 0;
        ASSERT_TRUE(
            inflate(packedStream.data(), packedStream.size(), out.data(), out.size(), length))
            << what << ", " << name;
        out.resize(length);
        EXPECT_TRUE(out == content) << what << ", " << name;
    }
}

TEST(Repack, KeepsTheUnchangedBlocksAndInflatesToTheNewContent) {
    const Bytes content = firmwareLike();
    for (const Original& o : originals()) {
        const Bytes original = o.make(content);
        for (const Change& change : changes()) {
            const std::string what = std::string(o.what) + ", " + change.what;
            Bytes now = content;
            change.apply(now);
            Wrapper wrapper;
            wrapper.gzip = o.gzip;
            Bytes results[2];
            Reuse reuse;
            for (Bytes& result : results) {
                platform::Memory room = platform::Memory::reserve(packedBound(now.size(), wrapper));
                std::size_t length = 0;
                ASSERT_TRUE(repackContent(original.data(), original.size(), now.data(), now.size(),
                                          wrapper, 6, room, length, &reuse))
                    << what;
                result.assign(room.bytes(), room.bytes() + length);
            }
            EXPECT_TRUE(results[0] == results[1]) << what << ": not the same bytes twice";
            expectInflatesTo(results[0], now, what);
            const auto expectKept = [&](std::uint64_t bits, Kept kept, const char* part) {
                if (kept == Kept::maybe && o.splices) return;
                EXPECT_EQ(bits > 0, o.splices && kept == Kept::yes) << what << ": " << part;
            };
            expectKept(reuse.headBits, change.head, "first blocks");
            expectKept(reuse.tailBits, change.tail, "last blocks");
            if (reuse.headBits + reuse.tailBits == 0) continue;
            // Only the change and the blocks it falls in (with a window) are compressed again.
            EXPECT_LE(reuse.compressed, change.span + (320 << 10)) << what;
            // The kept bits stand where they stood, after a header of the same length.
            const std::size_t header = wrapperHeader(wrapper).size();
            const auto kept = static_cast<std::ptrdiff_t>(header + reuse.headBits / 8);
            EXPECT_TRUE(std::equal(results[0].begin() + static_cast<std::ptrdiff_t>(header),
                                   results[0].begin() + kept,
                                   original.begin() + static_cast<std::ptrdiff_t>(header)))
                << what;
        }
    }
}

TEST(Repack, EmptyBlocksReachTheBitAsked) {
    // Ten bits each, from the lowest: not final (0), fixed codes (1, 0), the end of the block
    // (seven zeros).
    struct Case {
        unsigned bit;
        std::size_t whole;
        Bytes bytes;
    };
    const Case cases[] = {
        {0, 0, {0x00}},
        {2, 1, {0x02, 0x00}},
        {4, 2, {0x02, 0x08, 0x00}},
        {6, 3, {0x02, 0x08, 0x20, 0x00}},
    };
    for (const Case& c : cases) {
        Bytes out(8, 0xee);
        EXPECT_EQ(writeEmptyBlocks(c.bit, out.data()), c.whole) << c.bit;
        out.resize(c.whole + 1);
        EXPECT_EQ(out, c.bytes) << c.bit;
    }
}

}  // namespace
}  // namespace dz
