// Packing a sub-file's content: a deflate stream in the wrapper the container keeps for it.
// Compressed with libdeflate where the build has it (faster, and as small or smaller), zlib
// otherwise; the same content, wrapper and level give the same bytes every time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dzlib/wrapper.h"
#include "platform/platform.h"

namespace dz {

// The check value that `wrapper`'s trailer carries for `length` bytes of content: the CRC-32 for
// gzip, the Adler-32 for zlib.
std::uint32_t wrapperCheck(const std::uint8_t* content, std::size_t length, const Wrapper& wrapper);

// The same a part at a time: the check value of no content, and that of `check`'s content
// followed by `length` more bytes.
std::uint32_t emptyWrapperCheck(const Wrapper& wrapper);
std::uint32_t addToWrapperCheck(std::uint32_t check, const std::uint8_t* content,
                                std::size_t length, const Wrapper& wrapper);

// The most bytes packContent can need for `length` bytes of content in `wrapper`.
std::size_t packedBound(std::size_t length, const Wrapper& wrapper);

// Deflates `length` bytes at `content` at `level` (0 to 9, as zlib counts them) and puts the
// wrapper's header before and its trailer after the stream, into `room` (committed as needed,
// up to packedBound bytes). Sets `packedLength`; false when there is not enough memory.
bool packContent(const std::uint8_t* content, std::size_t length, const Wrapper& wrapper, int level,
                 platform::Memory& room, std::size_t& packedLength);

}  // namespace dz
