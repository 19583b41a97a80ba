// Reading a raw deflate stream's codes the way zlib's inflate reads them, without producing
// output, to refuse what zlib refuses among the streams that libdeflate decodes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dz {

// True when zlib's inflate reads every block of the raw deflate stream at `data` to its end
// within `size` bytes. False at the first of what libdeflate decodes and zlib refuses (in the
// libdeflate version that CMakeLists.txt names as proven, KESTRIX_LIBDEFLATE_PROVEN_VERSION):
// 287 or 288 literal/length codes or 31 or 32 distance codes in a dynamic block header; a code
// length repeat that runs past the end of the list; length symbols 286 and 287 or distance
// symbols 30 and 31 in fixed blocks; a match in a block whose distance code is empty; the
// unused '1' pattern of a code that has a single one-bit codeword.
bool zlibReadsDeflateCodes(const std::uint8_t* data, std::size_t size);

// How walkDeflateCodes ends.
enum class CodeWalk {
    kRead,        // zlib's inflate reads every block to its end: zlibReadsDeflateCodes is true
    kRefused,     // it refuses the stream: zlibReadsDeflateCodes is false, or the codes make more
                  // bytes than the room holds
    kLeftToZlib,  // the walk stopped at a block header: a kind of stream that zlib alone
                  // inflates about as fast as libdeflate and the walk together, or faster
};

// The walk of zlibReadsDeflateCodes for the libdeflate backend, which inflates a stream left to
// zlib with zlib itself, into an output of `room` bytes. The rule for leaving a stream to zlib is
// in deflate_check.cpp; a stream of less than kWalkedWholeSize bytes is never left to zlib.
// kRead does not promise that the output fits in the room (libdeflate finds that out).
CodeWalk walkDeflateCodes(const std::uint8_t* data, std::size_t size, std::size_t room);
inline constexpr std::size_t kWalkedWholeSize = 64 * 1024;

}  // namespace dz
