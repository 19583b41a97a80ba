// An original packed stream read against new content, for repacking a changed piece: where the
// original's deflate blocks begin and end, how far from the start its content is the new
// content's, and from which block on its blocks give the new content's end. One pass of zlib's
// inflate that stops at every block boundary; what it gives goes through a small buffer and is
// compared as it comes, never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace dz {

// How far back a deflate block may reach for a match: the window every block is decoded with.
constexpr std::uint64_t kDeflateWindow = 32768;

// A place in a deflate stream between two blocks: its offset in bits from the first bit of the
// deflate data (each byte's bits are taken from the lowest up), and how many bytes of content
// the blocks before it give.
struct BlockBoundary {
    std::uint64_t bit = 0;
    std::uint64_t content = 0;
    bool operator==(const BlockBoundary&) const = default;
};

struct BlockScan {
    std::size_t headerLength = 0;     // the original's wrapper header, in bytes
    std::uint64_t contentLength = 0;  // what the original inflates to
    std::uint64_t prefix = 0;         // how many bytes it shares with the new content's start
    // The last boundary where a block begins and up to which the original's content is the new
    // content's start (at least the first, at bit 0), and the boundary before it, if any.
    BlockBoundary start;
    std::optional<BlockBoundary> beforeStart;
    // The first boundary where a block begins, at an even bit of its byte, such that the
    // original's content from kDeflateWindow bytes before it to its end is the new content's
    // end, and that window lies past the shared start; none when there is none. `afterResume`
    // is the boundary after it: the end of the stream when its block is the final one.
    std::optional<BlockBoundary> resume;
    BlockBoundary afterResume;
    BlockBoundary finalStart;  // where the final block begins
    BlockBoundary end;         // where the final block ends
};

// Scans the stream `packed` (deflate data in a zlib or gzip wrapper, `packedSize` bytes) against
// `length` bytes of new `content`, lining the two ends up as though the original's content were
// `assumedLength` bytes long: `resume` is found only when it is that long.
// Returns false when the stream cannot be spliced: it is damaged or cut short, a check value in
// its trailer fails, it asks for a preset dictionary, bytes follow its trailer, or there is no
// memory for the scan.
bool scanBlocks(const std::uint8_t* packed, std::size_t packedSize, const std::uint8_t* content,
                std::size_t length, std::uint64_t assumedLength, BlockScan& scan);

}  // namespace dz
