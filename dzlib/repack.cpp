// Repacking a changed piece from its original packed stream.
//
// The new stream is the wrapper's header; the original's deflate bits up to `start` (a block
// boundary before which its content is the new content's start) as they stand; the new content
// from there to the boundary `resume` deflated again by zlib, going on from the kept bits'
// partial byte with the content before it as its dictionary, and closed with an empty stored
// block so that it ends on a byte; empty fixed-code blocks up to the bit of a byte where
// `resume` lies in the original (an even one); the original's bytes from there to its end, as
// they stand; and the trailer, computed anew. With no `resume`, the new blocks run to the end.
// The moved blocks keep their place within bytes because a stored block's header is followed by
// padding to the next byte: moved by anything but whole bytes, it would no longer decode.
//
// Why it decodes to the new content. A deflate block's decoding depends only on its own bits,
// its place within a byte and the 32 KiB before it, and each block ends where the next begins:
// - The kept first blocks decoded in the scan, with zlib, to content that is the new content's
//   start; none of them is final, since the stream went on after them.
// - The new blocks are zlib's, over the new content, with the new content before them as their
//   window; only the last of them is final, and only when nothing follows. The empty blocks
//   give nothing and are not final.
// - From `resume` on, the original gives its content to its end, which the scan found to be the
//   new content's end, with the same 32 KiB before `resume` in both: each moved block decodes
//   as it did, only the original's final block is final, and it ends in the last byte before
//   the trailer, as it did.
// - The trailer's check value and length are those of the new content.
// What rests on this code being right rather than on zlib is checked where it could go wrong,
// at the seams: the stream is decoded again with zlib from the kept block before `start`,
// through the new blocks, to the end of the first moved block (so the kept bits end at `start`,
// the new ones give the right bytes, and the moved ones begin where they should), and the final
// block is decoded where it was moved to, ending in the stream's last byte. Any doubt, and the
// content is compressed whole instead.
#include "dzlib/repack.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dzlib/block_scan.h"
#include "dzlib/compress.h"
#include "dzlib/splice_check.h"
#include "dzlib/stream_join.h"

namespace dz {
namespace {

// The length the original's content most likely has, to line its end up with the new
// content's: a gzip trailer says it (modulo 2^32, and a sub-file is smaller); a zlib one does
// not, and the new content's own length is likeliest (a change in place).
std::uint64_t likelyLength(const std::uint8_t* original, std::size_t size, std::size_t length) {
    if (size < 18 || original[0] != 0x1f || original[1] != 0x8b) return length;
    const std::uint8_t* const isize = original + size - 4;
    return isize[0] | isize[1] << 8 | isize[2] << 16 | static_cast<std::uint64_t>(isize[3]) << 24;
}

// Scans the original against the new content; when the original's length was not the one
// assumed, again with its length, so that its end is found where it lies.
bool scan(const std::uint8_t* original, std::size_t size, const std::uint8_t* content,
          std::size_t length, BlockScan& found) {
    const std::uint64_t assumed = likelyLength(original, size, length);
    if (!scanBlocks(original, size, content, length, assumed, found)) return false;
    return found.contentLength == assumed ||
           scanBlocks(original, size, content, length, found.contentLength, found);
}

// Decodes the spliced stream `deflate` again at its seams (the comment at the top says which).
// `regionEnd` is where the new blocks end (with the empty ones after them), and the new content
// there.
bool seamsHold(const std::uint8_t* deflate, std::size_t size, const std::uint8_t* content,
               std::size_t length, const BlockScan& scan, BlockBoundary regionEnd) {
    std::vector<BlockBoundary> marks;
    if (scan.beforeStart) marks.push_back(scan.start);
    if (!scan.resume) {
        return decodesAsSpliced(deflate, size, content, length,
                                scan.beforeStart.value_or(scan.start), marks, /*toEnd=*/true);
    }
    // Where a boundary of the original lies once moved.
    const auto moved = [&](BlockBoundary b) {
        return BlockBoundary{b.bit - scan.resume->bit + regionEnd.bit,
                             b.content - scan.resume->content + regionEnd.content};
    };
    marks.push_back(regionEnd);
    marks.push_back(moved(scan.afterResume));
    const bool finalFollows = scan.afterResume == scan.end;
    return decodesAsSpliced(deflate, size, content, length, scan.beforeStart.value_or(scan.start),
                            marks, finalFollows) &&
           (finalFollows || decodesAsSpliced(deflate, size, content, length, moved(scan.finalStart),
                                             {}, /*toEnd=*/true));
}

}  // namespace

bool repackContent(const std::uint8_t* original, std::size_t originalSize,
                   const std::uint8_t* content, std::size_t length, const Wrapper& wrapper,
                   int level, platform::Memory& room, std::size_t& packedLength, Reuse* reuse) {
    if (reuse != nullptr) *reuse = Reuse();
    const auto whole = [&] {
        return packContent(content, length, wrapper, level, room, packedLength);
    };
    BlockScan found;
    if (level < 0 || level > 9 || original == nullptr ||
        !scan(original, originalSize, content, length, found)) {
        return whole();
    }
    const std::uint64_t regionStart = found.start.content;
    const std::uint64_t regionEnd =
        found.resume ? found.resume->content + length - found.contentLength : length;
    const std::uint64_t headBits = found.start.bit;
    const std::uint64_t tailBits = found.resume ? found.end.bit - found.resume->bit : 0;
    // zlib compresses at about half libdeflate's speed: past half the content, or with nothing
    // kept, compressing it whole costs no more.
    if (headBits + tailBits == 0 || (regionEnd - regionStart) * 2 > length) return whole();

    const std::string header = wrapperHeader(wrapper);
    const auto headBytes = static_cast<std::size_t>(headBits / 8);
    const auto tailFrom = found.resume ? static_cast<std::size_t>(found.resume->bit / 8) : 0;
    const auto tailBytes =
        found.resume ? static_cast<std::size_t>((found.end.bit + 7) / 8) - tailFrom : 0;
    const std::size_t regionRoom =
        continuingBound(static_cast<std::size_t>(regionEnd - regionStart));
    const std::size_t bound = header.size() + headBytes + regionRoom + 4 + tailBytes + 8;
    if (bound > packedBound(length, wrapper)) return whole();  // the original is poorly packed
    if (room.bytes() == nullptr || room.size() < bound || !room.commit(bound)) return false;

    std::uint8_t* const out = room.bytes();
    std::memcpy(out, header.data(), header.size());
    std::uint8_t* const stream = out + header.size();
    const std::uint8_t* const old = original + found.headerLength;
    std::memcpy(stream, old, headBytes);
    const auto partialBits = static_cast<unsigned>(headBits % 8);
    const unsigned partial = partialBits > 0 ? old[headBytes] & ((1u << partialBits) - 1) : 0;
    const std::size_t made =
        deflateContinuing(content, static_cast<std::size_t>(regionStart),
                          static_cast<std::size_t>(regionEnd), level, partialBits, partial,
                          /*last=*/!found.resume, stream + headBytes, regionRoom);
    if (made == 0) return whole();
    std::size_t size = headBytes + made;
    BlockBoundary newEnd{std::uint64_t{size} * 8, regionEnd};
    if (found.resume) {
        const auto bit = static_cast<unsigned>(found.resume->bit % 8);
        size += writeEmptyBlocks(bit, stream + size);
        newEnd.bit = std::uint64_t{size} * 8 + bit;
        // The first byte's low bits are the empty blocks' last ones, all zero.
        std::memcpy(stream + size, old + tailFrom, tailBytes);
        stream[size] &= static_cast<std::uint8_t>(0xff << bit);
        size += tailBytes;
    }
    if (!seamsHold(stream, size, content, length, found, newEnd)) return whole();

    const std::string trailer =
        wrapperTrailer(wrapper, wrapperCheck(content, length, wrapper), length);
    std::memcpy(stream + size, trailer.data(), trailer.size());
    packedLength = header.size() + size + trailer.size();
    if (reuse != nullptr) *reuse = {headBits, tailBits, regionEnd - regionStart};
    return true;
}

}  // namespace dz
