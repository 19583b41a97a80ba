// Decoding a spliced deflate stream again from one of its block boundaries.
#include "dzlib/splice_check.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "dzlib/zlib_inflater.h"

namespace dz {
namespace {

constexpr std::size_t kChunk = std::size_t{256} << 10;

}  // namespace

bool decodesAsSpliced(const std::uint8_t* deflate, std::size_t size, const std::uint8_t* content,
                      std::size_t length, BlockBoundary from,
                      const std::vector<BlockBoundary>& marks, bool toEnd) {
    const std::uint64_t firstByte = from.bit / 8;
    const unsigned usedBits = static_cast<unsigned>(from.bit % 8);
    if (firstByte >= size || from.content > length) return false;
    const std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[kChunk]);
    ZlibInflater inflater;
    z_stream& s = inflater.stream;
    if (chunk == nullptr || inflateInit2(&s, -15) != Z_OK) return false;
    inflater.open = true;
    const auto window = static_cast<uInt>(std::min(from.content, kDeflateWindow));
    if (window > 0 && inflateSetDictionary(&s, content + (from.content - window), window) != Z_OK) {
        return false;
    }
    // A boundary inside a byte: the byte's bits from it up go in ahead of the input.
    const std::uint64_t inputStart = firstByte + (usedBits > 0 ? 1 : 0);
    if (usedBits > 0 &&
        inflatePrime(&s, static_cast<int>(8 - usedBits), deflate[firstByte] >> usedBits) != Z_OK) {
        return false;
    }
    // No seam is checked further than a few blocks past the new ones, which never come near
    // what zlib can count.
    const auto input = static_cast<uInt>(std::min<std::uint64_t>(size - inputStart, UINT32_MAX));
    s.next_in = const_cast<Bytef*>(deflate + inputStart);
    s.avail_in = input;

    std::uint64_t at = from.content;
    std::size_t next = 0;  // the next mark to meet
    for (;;) {
        const uInt inBefore = s.avail_in;
        s.next_out = chunk.get();
        s.avail_out = static_cast<uInt>(kChunk);
        const int result = inflate(&s, Z_BLOCK);
        const std::size_t produced = kChunk - s.avail_out;
        if (produced > length - at || std::memcmp(chunk.get(), content + at, produced) != 0) {
            return false;
        }
        at += produced;
        // The final block's end comes back as a boundary before the stream's end is reported.
        if (result != Z_OK && result != Z_BUF_ERROR) return false;
        if ((s.data_type & 128) == 0) {
            if (produced == 0 && s.avail_in == inBefore) return false;  // cut short
            continue;
        }
        const std::uint64_t bit =
            (inputStart + (input - s.avail_in)) * 8 - static_cast<unsigned>(s.data_type & 7);
        if (next < marks.size()) {
            if (bit > marks[next].bit) return false;
            if (bit == marks[next].bit) {
                if (at != marks[next].content) return false;
                ++next;
            }
        }
        if ((s.data_type & 64) != 0) {
            return toEnd && next == marks.size() && at == length && (bit + 7) / 8 == size;
        }
        if (next == marks.size() && !toEnd) return true;
    }
}

}  // namespace dz
