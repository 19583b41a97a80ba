// The libdeflate backend: libdeflate's one-shot decompressors, held to exactly the streams the
// zlib backend accepts and refuses.
//
// libdeflate, in the version CMakeLists.txt names as proven (KESTRIX_LIBDEFLATE_PROVEN_VERSION;
// the program uses this backend with no other), differs from zlib's inflate in a few places, all
// of them streams that zlib refuses and libdeflate decodes: it does not check a gzip header's
// own CRC (FHCRC), which readWrapperHeader checks; and it decodes some deflate codes that zlib
// refuses, which only a reading of the stream's codes finds (dzlib/deflate_check.h).
// Everything else, including the wrapper (header check bits, method, window size, preset
// dictionary, reserved gzip flags, CRC32, ISIZE, Adler-32), libdeflate already accepts and
// refuses as zlib does. Built from Debian's source with zlib's verdicts
// (KESTRIX_LIBDEFLATE_ZLIB_VERDICTS, cmake/libdeflate.cmake), libdeflate refuses those codes
// itself as it decodes them, and nothing more is needed. Otherwise the reading of the codes
// comes first, held to this backend's policy
// (LibdeflateWalkPolicy, dzlib/inflate_libdeflate.h): the few kinds of stream that zlib
// inflates faster than libdeflate and that reading together, it leaves to zlib, which then
// inflates them itself; and it reads no further than the output's room allows.
#include "dzlib/inflate_libdeflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "dzlib/deflate_check.h"
#include "dzlib/inflate.h"
#include "dzlib/wrapper.h"

namespace dz {

namespace {
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// This thread's decompressor (one must not be shared between threads), allocated on first use
// and freed when the thread or the program ends; null when memory runs out.
libdeflate_decompressor* decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> held;
    if (held == nullptr) held.reset(libdeflate_alloc_decompressor());
    return held.get();
}

}  // namespace

namespace {

// How a stream is to be inflated, once its wrapper and codes are read.
enum class Route { refused, zlib, libdeflate };

// Reads the wrapper and walks the codes of `packed` for an output of up to `outputSize` bytes.
Route routeOf(const std::uint8_t* packed, std::size_t packedSize, std::size_t outputSize,
              bool& gzip) {
    // The zlib backend counts in 32 bits and refuses larger sizes; so does this one.
    if (packedSize > UINT32_MAX || outputSize > UINT32_MAX) return Route::refused;
    if (packed == nullptr && packedSize != 0) return Route::refused;
    // zlib needs two bytes to tell the wrappers apart; fewer can never be a whole stream.
    if (packedSize < 2) return Route::refused;

    // As zlib detects it: gzip when the data starts with 1f 8b, a zlib header otherwise. The
    // deflate data follows the header (read as the wrapper reader reads it, which refuses what
    // zlib refuses) and ends before the trailer (CRC32 and ISIZE, or Adler-32), somewhere in
    // what is left.
    gzip = packed[0] == 0x1f && packed[1] == 0x8b;
    Wrapper wrapper;
    const std::size_t headerLength = gzip ? readWrapperHeader(packed, packedSize, wrapper) : 2;
    const std::size_t trailerLength = gzip ? 8 : 4;
    if (headerLength == 0 || packedSize < headerLength + trailerLength) return Route::refused;
#ifdef KESTRIX_LIBDEFLATE_ZLIB_VERDICTS
    // This libdeflate refuses as it decodes what zlib refuses (cmake/libdeflate.cmake).
    return Route::libdeflate;
#endif
    // The codes are walked first, over all the bytes the deflate data may take (the walk stops
    // at its end, or where the codes no longer fit the output): some kinds of stream zlib
    // inflates faster alone, and the walk leaves those to zlib early (LibdeflateWalkPolicy).
    const std::size_t deflateSize = packedSize - headerLength - trailerLength;
    LibdeflateWalkPolicy policy(deflateSize, outputSize);
    switch (walkDeflateCodes(packed + headerLength, deflateSize, policy)) {
        case CodeWalk::kRead:
            break;
        case CodeWalk::kRefused:
            return Route::refused;
        case CodeWalk::kStopped:
            return Route::zlib;
    }
    return Route::libdeflate;
}

libdeflate_result decompress(bool gzip, const std::uint8_t* packed, std::size_t packedSize,
                             std::uint8_t* output, std::size_t outputSize,
                             std::size_t& unpackedLength) {
    libdeflate_decompressor* const d = decompressor();
    if (d == nullptr) return LIBDEFLATE_BAD_DATA;
    std::uint8_t noRoom = 0;
    void* const out = output != nullptr ? output : &noRoom;
    return gzip ? libdeflate_gzip_decompress_ex(d, packed, packedSize, out, outputSize, nullptr,
                                                &unpackedLength)
                : libdeflate_zlib_decompress_ex(d, packed, packedSize, out, outputSize, nullptr,
                                                &unpackedLength);
}

}  // namespace

// Inflates `packed` into `output` in one call; accepts and refuses exactly as inflateWithZlib.
bool inflateWithLibdeflate(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                           std::size_t outputSize, std::size_t& unpackedLength) {
    if (output == nullptr && outputSize != 0) return false;
    bool gzip = false;
    switch (routeOf(packed, packedSize, outputSize, gzip)) {
        case Route::refused:
            return false;
        case Route::zlib:
            return inflateWithZlib(packed, packedSize, output, outputSize, unpackedLength);
        case Route::libdeflate:
            break;
    }
    std::size_t usedOut = 0;
    if (decompress(gzip, packed, packedSize, output, outputSize, usedOut) != LIBDEFLATE_SUCCESS) {
        return false;
    }
    unpackedLength = usedOut;
    return true;
}

// Inflates `packed` into `output`, committing more of it each time libdeflate finds the room
// too small, and inflating again from the start: a call into a smaller room ends as one into the
// whole room would, or finds the room too small. Room that is committed already is used at once.
Fault inflateWithLibdeflateInto(const std::uint8_t* packed, std::size_t packedSize,
                                platform::Memory& output, std::size_t& unpackedLength) {
    if (output.bytes() == nullptr) return Fault::unpack;
    bool gzip = false;
    switch (routeOf(packed, packedSize, output.size(), gzip)) {
        case Route::refused:
            return Fault::unpack;
        case Route::zlib:
            return inflateWithZlibInto(packed, packedSize, output, unpackedLength);
        case Route::libdeflate:
            break;
    }
    constexpr std::size_t kFirstRoom = std::size_t{4} << 20;
    output.commitWhatFits(std::max(kFirstRoom, output.committed()));
    for (;;) {
        const std::size_t room = output.committed();
        std::size_t usedOut = 0;
        const libdeflate_result result =
            decompress(gzip, packed, packedSize, output.bytes(), room, usedOut);
        if (result == LIBDEFLATE_SUCCESS) {
            unpackedLength = usedOut;
            return Fault::none;
        }
        if (result != LIBDEFLATE_INSUFFICIENT_SPACE || room == output.size()) return Fault::unpack;
        if (output.commitWhatFits(std::max(kFirstRoom, room * 2)) == room) {
            return Fault::unpackedMemory;
        }
    }
}

}  // namespace dz
