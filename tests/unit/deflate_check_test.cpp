// The deflate code check on raw streams: a whole stream reads to its end, a cut one never does
// (and the check always comes back).
#include "dzlib/deflate_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

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

}  // namespace
}  // namespace dz
