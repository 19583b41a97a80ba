// Deflating blocks that go on from any bit of a stream, and empty blocks to reach a bit.
#include "dzlib/stream_join.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "dzlib/block_scan.h"

namespace dz {
namespace {

// zlib counts in 32 bits: larger pieces go in steps.
constexpr std::size_t kLargestPiece = std::size_t{1} << 30;

}  // namespace

std::size_t continuingBound(std::size_t length) {
    // As for a whole stream (compress.cpp), with the partial first byte and the closing empty
    // block well inside the spare kilobyte.
    return length + length / 512 + 1024;
}

std::size_t deflateContinuing(const std::uint8_t* content, std::size_t from, std::size_t to,
                              int level, unsigned bits, unsigned value, bool last,
                              std::uint8_t* out, std::size_t room) {
    z_stream s{};
    if (deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
    const std::unique_ptr<z_stream, int (*)(z_stream*)> ending(&s, deflateEnd);
    const auto window = static_cast<uInt>(std::min<std::uint64_t>(from, kDeflateWindow));
    if (window > 0 && deflateSetDictionary(&s, content + (from - window), window) != Z_OK) return 0;
    if (bits > 0 && deflatePrime(&s, static_cast<int>(bits), static_cast<int>(value)) != Z_OK) {
        return 0;
    }
    const int closing = last ? Z_FINISH : Z_SYNC_FLUSH;
    std::size_t taken = from;
    std::size_t written = 0;
    for (;;) {
        if (s.avail_in == 0 && taken < to) {
            const std::size_t piece = std::min(to - taken, kLargestPiece);
            s.next_in = const_cast<Bytef*>(content + taken);
            s.avail_in = static_cast<uInt>(piece);
            taken += piece;
        }
        const std::size_t left = room - written;
        if (left == 0) return 0;
        s.next_out = out + written;
        s.avail_out = static_cast<uInt>(std::min(left, kLargestPiece));
        const uInt offered = s.avail_out;
        const bool allIn = taken == to;
        const int result = deflate(&s, allIn ? closing : Z_NO_FLUSH);
        written += offered - s.avail_out;
        if (result == Z_STREAM_END) return written;
        if (result != Z_OK && result != Z_BUF_ERROR) return 0;
        // A flush is done when it leaves room unused with all the content taken in; the finish
        // ends with Z_STREAM_END instead.
        if (allIn && s.avail_in == 0 && s.avail_out != 0) return last ? 0 : written;
    }
}

std::size_t writeEmptyBlocks(unsigned bit, std::uint8_t* out) {
    const unsigned blocks = bit / 2;  // ten bits each: two more into a byte each time
    std::uint32_t bits = 0;
    for (unsigned b = 0; b < blocks; ++b) bits |= 1u << (10 * b + 1);  // its type's low bit
    const unsigned whole = blocks * 10 / 8;
    for (unsigned k = 0; k <= whole; ++k) out[k] = static_cast<std::uint8_t>(bits >> (8 * k));
    return whole;
}

}  // namespace dz
