// The libdeflate backend: libdeflate's one-shot decompressors, held to exactly the streams the
// zlib backend accepts and refuses.
//
// libdeflate, in the version CMakeLists.txt names as proven (KESTRIX_LIBDEFLATE_PROVEN_VERSION;
// the program uses this backend with no other), differs from zlib's inflate in a few places, all
// of them streams that zlib refuses and libdeflate decodes: it does not check a gzip header's
// own CRC (FHCRC), which gzipHeaderLength checks; and it decodes some deflate codes that zlib
// refuses, which only a reading of the stream's codes finds (dzlib/deflate_check.h).
// Everything else, including the wrapper (header check bits, method, window size, preset
// dictionary, reserved gzip flags, CRC32, ISIZE, Adler-32), libdeflate already accepts and
// refuses as zlib does.
#include <libdeflate.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "dzlib/deflate_check.h"
#include "dzlib/inflate.h"

namespace dz {

namespace {
// Returns the length of the gzip header at `data`, or 0 when it runs past `size` or its own
// CRC (FHCRC), the low 16 bits of the CRC-32 of the bytes before it, does not match.
std::size_t gzipHeaderLength(const std::uint8_t* data, std::size_t size) {
    if (size < 10) return 0;
    const unsigned flags = data[3];
    std::size_t at = 10;
    if ((flags & 0x04) != 0) {  // FEXTRA: a two-byte length and that many bytes
        if (size - at < 2) return 0;
        const std::size_t extraLength = data[at] | data[at + 1] << 8;
        at += 2;
        if (size - at < extraLength) return 0;
        at += extraLength;
    }
    for (unsigned flag : {0x08u, 0x10u}) {  // FNAME, FCOMMENT: zero-terminated
        if ((flags & flag) == 0) continue;
        const void* zero = std::memchr(data + at, 0, size - at);
        if (zero == nullptr) return 0;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data) + 1;
    }
    if ((flags & 0x02) != 0) {  // FHCRC
        if (size - at < 2) return 0;
        const std::uint32_t crc = libdeflate_crc32(0, data, at);
        if ((crc & 0xffffu) != (data[at] | static_cast<unsigned>(data[at + 1]) << 8)) return 0;
        at += 2;
    }
    return at;
}

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

// Inflates `packed` into `output` in one call; accepts and refuses exactly as inflateWithZlib.
bool inflateWithLibdeflate(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                           std::size_t outputSize, std::size_t& unpackedLength) {
    // The zlib backend counts in 32 bits and refuses larger sizes; so does this one.
    if (packedSize > UINT32_MAX || outputSize > UINT32_MAX) return false;
    if ((packed == nullptr && packedSize != 0) || (output == nullptr && outputSize != 0)) {
        return false;
    }
    // zlib needs two bytes to tell the wrappers apart; fewer can never be a whole stream.
    if (packedSize < 2) return false;
    libdeflate_decompressor* const d = decompressor();
    if (d == nullptr) return false;
    std::uint8_t noRoom = 0;
    void* const out = output != nullptr ? output : &noRoom;

    // As zlib detects it: gzip when the data starts with 1f 8b, a zlib header otherwise.
    const bool gzip = packed[0] == 0x1f && packed[1] == 0x8b;
    std::size_t usedIn = 0;
    std::size_t usedOut = 0;
    const libdeflate_result result =
        gzip ? libdeflate_gzip_decompress_ex(d, packed, packedSize, out, outputSize, &usedIn,
                                             &usedOut)
             : libdeflate_zlib_decompress_ex(d, packed, packedSize, out, outputSize, &usedIn,
                                             &usedOut);
    if (result != LIBDEFLATE_SUCCESS) return false;

    // The deflate data lies between the header and the trailer (CRC32 and ISIZE, or Adler-32).
    std::size_t headerLength = 2;
    std::size_t trailerLength = 4;
    if (gzip) {
        headerLength = gzipHeaderLength(packed, usedIn);
        trailerLength = 8;
        if (headerLength == 0) return false;
    }
    if (usedIn < headerLength + trailerLength) return false;
    if (!zlibReadsDeflateCodes(packed + headerLength, usedIn - headerLength - trailerLength)) {
        return false;
    }
    unpackedLength = usedOut;
    return true;
}

}  // namespace dz
