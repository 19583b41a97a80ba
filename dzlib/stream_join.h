// What a spliced deflate stream's new part is made of: blocks deflated so that they go on from
// any bit of a stream, and empty blocks that bring the stream to a chosen bit of a byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dz {

// The most bytes deflateContinuing can write for `length` bytes of content.
std::size_t continuingBound(std::size_t length);

// Deflates content[from, to) with zlib at `level` (0 to 9) into raw deflate blocks at `out`
// (room for `room` bytes), as they go on after `bits` bits (0 to 7) of a stream's last byte
// whose value is `value` (those bits are written first) and after content[0, from), which
// matches may reach back into. The blocks end with the final one when `last`; otherwise with an
// empty stored block, so that they end on a byte and the stream can go on after them. Returns
// the bytes written; 0 when zlib has no memory or the room is too small.
std::size_t deflateContinuing(const std::uint8_t* content, std::size_t from, std::size_t to,
                              int level, unsigned bits, unsigned value, bool last,
                              std::uint8_t* out, std::size_t room);

// Writes empty fixed-code blocks (ten bits each: not final, the fixed codes, the end of the
// block) from the first bit of `out` on, so that what follows them begins `bit` bits (0, 2, 4
// or 6) into a byte. Returns the bytes they fill whole; the byte after those holds their last
// `bit` bits, all zero, in its low bits, and zeros above them.
std::size_t writeEmptyBlocks(unsigned bit, std::uint8_t* out);

}  // namespace dz
