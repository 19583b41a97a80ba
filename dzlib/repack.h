// Packing the new content of a changed piece from the piece's original packed stream: the
// original's deflate blocks are kept wherever they still give the same bytes, and only the blocks
// around what changed are compressed again. One changed byte then costs a pass of inflate over
// the original and a few blocks' compression, instead of compressing the whole piece.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dzlib/wrapper.h"
#include "platform/platform.h"

namespace dz {

// What repackContent kept of the original stream: nothing when it compressed the content whole.
struct Reuse {
    std::uint64_t headBits = 0;    // the original's first bits of deflate data, kept in place
    std::uint64_t tailBits = 0;    // its last bits, moved to follow the new ones
    std::uint64_t compressed = 0;  // bytes of the new content compressed anew
};

// Packs `length` bytes at `content` as packContent does (deflated at `level`, in `wrapper`, into
// `room`, setting `packedLength`), from the piece's packed data before it changed (`original`,
// `originalSize` bytes, in any wrapper): the blocks at the start of the original that give the
// new content's start are kept as they stand, and those at its end that give the new content's
// end (with the same 32 KiB before them) are moved to follow the new ones; what lies between is
// compressed again with zlib, continuing the stream. It compresses the content whole with
// packContent instead when the original cannot be spliced (damaged, a preset dictionary, bytes
// after its end), when nothing would be kept or more than half the content would be compressed
// anyway, or when the spliced stream does not decode as it must at its seams. The same inputs
// give the same bytes. Returns false only when there is not enough memory.
bool repackContent(const std::uint8_t* original, std::size_t originalSize,
                   const std::uint8_t* content, std::size_t length, const Wrapper& wrapper,
                   int level, platform::Memory& room, std::size_t& packedLength,
                   Reuse* reuse = nullptr);

}  // namespace dz
