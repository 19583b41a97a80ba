// The deflate code check on raw streams: a whole stream reads to its end, a cut one never does
// (and the check always comes back); on blocks whose codes sit at the edges of its tables, it
// says what zlib says; and the fast walk gives what the simple walk gives, and asks its policy
// the same things, over the inflate vectors and damaged streams (the simple walk itself says
// what zlib says). The libdeflate backend's policy is tested in libdeflate_policy_test.cpp.
#include "dzlib/deflate_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dzlib/wrapper.h"
#include "tests/support/walk_recorder.h"
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
// The fast walk against the simple one (deflate_check_simple.cpp), and the simple one against
// zlib.

// zlib's verdict on a raw deflate stream: true when inflate reads it to its end. Not known
// (nullopt) where zlib stops for what the check leaves to libdeflate, a distance too far back
// (zlib reads no further, and libdeflate refuses it too), or where damaged data makes more than
// the 4 MiB room here holds.
std::optional<bool> zlibReadsCodes(const std::vector<std::uint8_t>& stream) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    // One room for every call: the tests make a few thousand.
    static std::vector<std::uint8_t> out(1 << 22);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    const bool tooFarBack =
        z.msg != nullptr && std::strcmp(z.msg, "invalid distance too far back") == 0;
    const bool full = result == Z_BUF_ERROR && z.avail_out == 0;
    inflateEnd(&z);
    if (full || tooFarBack) return std::nullopt;
    return result == Z_STREAM_END;
}

// The deflate data of a wrapped stream as the libdeflate backend walks it: after the header,
// the trailer with it (the walk stops at the last block); the whole stream where the header
// is not one inflate takes.
std::vector<std::uint8_t> deflateDataOf(const std::vector<std::uint8_t>& packed) {
    std::size_t header = 0;
    if (packed.size() >= 2 && packed[0] == 0x1f && packed[1] == 0x8b) {
        dz::Wrapper wrapper;
        header = dz::readWrapperHeader(packed.data(), packed.size(), wrapper);
    } else if (packed.size() >= 2) {
        header = 2;
    }
    return std::vector<std::uint8_t>(packed.begin() + static_cast<std::ptrdiff_t>(header),
                                     packed.end());
}

// Both walks over `stream` (an exactly sized copy, so that a read past it shows under
// AddressSanitizer) under every policy of compareWalks, with rooms about `content` bytes.
void expectWalksAgree(const std::vector<std::uint8_t>& stream, std::size_t content) {
    const std::vector<std::uint8_t> copy(stream);
    std::vector<std::size_t> rooms = {0, content / 2, content};
    if (content > 0) rooms.push_back(content - 1);
    EXPECT_EQ(testsupport::compareWalks(copy.data(), copy.size(), rooms), "");
}

TEST(DeflateCheck, FastWalkGivesWhatTheSimpleWalkGivesOnTheInflateVectors) {
    for (const vectors::Vector& vector : vectors::inflateVectors()) {
        SCOPED_TRACE(vector.name);
        const std::vector<std::uint8_t> data = deflateDataOf(vector.packed);
        expectWalksAgree(data, vector.content.size());
        // The wrapped stream read as deflate data: damage of another kind.
        expectWalksAgree(vector.packed, vector.content.size());
    }
}

TEST(DeflateCheck, FastWalkGivesWhatTheSimpleWalkGivesOnTheEdgesOfTheTables) {
    for (const vectors::CodesCase& c : vectors::codesCases()) {
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.rounds) + " rounds");
        const std::vector<std::uint8_t> stream = vectors::dynamicBlock(c);
        expectWalksAgree(stream, stream.size() * 4);
        for (std::size_t cut : {stream.size() / 2, stream.size() - 1}) {
            expectWalksAgree({stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)},
                             stream.size() * 4);
        }
    }
}

// Streams of every kind of block, damaged: a byte changed at places spread over each, and cut
// at each of them.
TEST(DeflateCheck, FastWalkGivesWhatTheSimpleWalkGivesOnDamagedStreams) {
    std::string content;
    for (int i = 0; i < 2000; ++i) content += "entry " + std::to_string(i * 7919 % 1000) + "\n";
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE}) {
        for (int level : {0, 1, 9}) {
            SCOPED_TRACE(std::to_string(level) + " " + std::to_string(strategy));
            const std::vector<std::uint8_t> stream = rawDeflate(content, level, strategy);
            for (std::size_t at = 0; at < stream.size(); at += 1 + at / 8) {
                SCOPED_TRACE("at " + std::to_string(at));
                for (std::uint8_t flip : {0x01, 0x10, 0xff}) {
                    std::vector<std::uint8_t> damaged = stream;
                    damaged[at] ^= flip;
                    expectWalksAgree(damaged, content.size());
                }
                expectWalksAgree({stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(at)},
                                 content.size());
            }
        }
    }
}

// The simple walk's verdict is zlib's own, on the inflate vectors' deflate data (which holds
// damaged and cut streams) and the table edges.
TEST(DeflateCheck, SimpleWalkSaysWhatZlibSays) {
    dz::WholeStreamPolicy whole;
    const auto simplyRead = [&whole](const std::vector<std::uint8_t>& stream) {
        return dz::walkDeflateCodesSimply(stream.data(), stream.size(), whole) ==
               dz::CodeWalk::kRead;
    };
    for (const vectors::Vector& vector : vectors::inflateVectors()) {
        SCOPED_TRACE(vector.name);
        const std::vector<std::uint8_t> data = deflateDataOf(vector.packed);
        for (const std::vector<std::uint8_t>* stream : {&data, &vector.packed}) {
            if (const std::optional<bool> zlib = zlibReadsCodes(*stream)) {
                EXPECT_EQ(simplyRead(*stream), *zlib) << (stream == &data ? "data" : "packed");
            }
        }
    }
    for (const vectors::CodesCase& c : vectors::codesCases()) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> stream = vectors::dynamicBlock(c);
        EXPECT_EQ(simplyRead(stream), zlibReadsCodes(stream));
    }
}

}  // namespace
}  // namespace dz
