// Checking a seam of a spliced deflate stream: decoded again from a block boundary, with the
// content before that boundary as its window, the stream must give exactly the new content, meet
// each boundary it is expected to at its bit and content, and end where it should.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dzlib/block_scan.h"

namespace dz {

// Decodes the deflate data `deflate` (`size` bytes) from the boundary `from`, with the
// kDeflateWindow bytes of `content` before from.content as its window. Returns true when what it
// gives is `content` from from.content on, it meets each boundary of `marks` in turn exactly (at
// that bit, having given that much content; it may pass other boundaries between them), and
// then: when `toEnd`, the final block ends there or later, in the last byte of `deflate`, with
// all `length` bytes given; otherwise no block on the way is final, and it stops at the last
// mark. False otherwise, or when there is no memory to decode.
bool decodesAsSpliced(const std::uint8_t* deflate, std::size_t size, const std::uint8_t* content,
                      std::size_t length, BlockBoundary from,
                      const std::vector<BlockBoundary>& marks, bool toEnd);

}  // namespace dz
