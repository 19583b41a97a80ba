// Deflating sub-file content.
#include "dzlib/compress.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"

#ifdef KESTRIX_LIBDEFLATE_LINKED
#include <libdeflate.h>
#endif

namespace dz {
namespace {

// zlib counts in 32 bits: larger pieces go in steps (where zlib deflates and sums; libdeflate
// takes any size).
[[maybe_unused]] constexpr std::size_t kLargestPiece = std::size_t{1} << 30;

// The most a raw deflate stream of `length` bytes can take, with room to spare: data that does
// not compress goes into stored blocks of 5 bytes' overhead each, and both compressors bound
// their output below this.
std::size_t rawBound(std::size_t length) {
    return length + length / 512 + 1024;
}

#ifdef KESTRIX_LIBDEFLATE_LINKED
struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// Writes the raw deflate stream at `out` (room for `room` bytes); returns its length, 0 without
// memory.
std::size_t deflateRaw(const std::uint8_t* content, std::size_t length, int level,
                       std::uint8_t* out, std::size_t room) {
    // One compressor for each thread and level: they must not be shared between threads.
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> held[10];
    auto& compressor = held[level];
    if (compressor == nullptr) compressor.reset(libdeflate_alloc_compressor(level));
    if (compressor == nullptr) return 0;
    return libdeflate_deflate_compress(compressor.get(), content, length, out, room);
}
#else
std::size_t deflateRaw(const std::uint8_t* content, std::size_t length, int level,
                       std::uint8_t* out, std::size_t room) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
    std::unique_ptr<z_stream, int (*)(z_stream*)> ending(&stream, deflateEnd);
    std::size_t taken = 0;
    std::size_t written = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        if (stream.avail_in == 0 && taken < length) {
            const std::size_t piece =
                length - taken < kLargestPiece ? length - taken : kLargestPiece;
            stream.next_in = const_cast<Bytef*>(content + taken);
            stream.avail_in = static_cast<uInt>(piece);
            taken += piece;
        }
        const std::size_t left = room - written;
        if (left == 0) return 0;
        stream.next_out = out + written;
        stream.avail_out = static_cast<uInt>(left < kLargestPiece ? left : kLargestPiece);
        const uInt offered = stream.avail_out;
        result = deflate(&stream, taken == length ? Z_FINISH : Z_NO_FLUSH);
        written += offered - stream.avail_out;
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return 0;
    }
    return written;
}
#endif

}  // namespace

// Only the one check value the wrapper needs is computed: it is a pass over every byte.
std::uint32_t wrapperCheck(const std::uint8_t* content, std::size_t length,
                           const Wrapper& wrapper) {
    return addToWrapperCheck(emptyWrapperCheck(wrapper), content, length, wrapper);
}

std::uint32_t emptyWrapperCheck(const Wrapper& wrapper) {
    return wrapper.gzip ? 0 : 1;
}

std::uint32_t addToWrapperCheck(std::uint32_t check, const std::uint8_t* content,
                                std::size_t length, const Wrapper& wrapper) {
    // libdeflate gives the empty content's value for no bytes at a null pointer, whatever `check`.
    if (length == 0) return check;
    const bool gzip = wrapper.gzip;
#ifdef KESTRIX_LIBDEFLATE_LINKED
    return gzip ? libdeflate_crc32(check, content, length)
                : libdeflate_adler32(check, content, length);
#else
    uLong value = check;
    for (std::size_t at = 0; at < length; at += kLargestPiece) {
        const auto piece =
            static_cast<uInt>(length - at < kLargestPiece ? length - at : kLargestPiece);
        value = gzip ? crc32(value, content + at, piece) : adler32(value, content + at, piece);
    }
    return static_cast<std::uint32_t>(value);
#endif
}

std::size_t packedBound(std::size_t length, const Wrapper& wrapper) {
    return wrapperHeader(wrapper).size() + rawBound(length) + 8;
}

bool packContent(const std::uint8_t* content, std::size_t length, const Wrapper& wrapper, int level,
                 platform::Memory& room, std::size_t& packedLength) {
    if (level < 0 || level > 9) return false;
    const std::string header = wrapperHeader(wrapper);
    const std::size_t bound = packedBound(length, wrapper);
    if (room.bytes() == nullptr || room.size() < bound || !room.commit(bound)) return false;
    std::uint8_t* const out = room.bytes();
    std::memcpy(out, header.data(), header.size());
    const std::size_t stream =
        deflateRaw(content, length, level, out + header.size(), bound - header.size() - 8);
    if (stream == 0) return false;
    const std::uint32_t check = wrapperCheck(content, length, wrapper);
    const std::string trailer = wrapperTrailer(wrapper, check, length);
    std::memcpy(out + header.size() + stream, trailer.data(), trailer.size());
    packedLength = header.size() + stream + trailer.size();
    return true;
}

}  // namespace dz
