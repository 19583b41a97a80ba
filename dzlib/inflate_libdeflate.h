// The libdeflate backend's policy for the deflate code check: which streams it leaves to zlib
// for speed, and how far the check reads for the room the output has. Both are the backend's
// own choices, not zlib's rules (those are in dzlib/deflate_check.h); the backend itself is
// inflate_libdeflate.cpp, and this header needs no libdeflate.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "dzlib/deflate_check.h"

namespace dz {

// The libdeflate backend walks each stream's codes (walkDeflateCodes) before libdeflate inflates
// it, held to this policy, made for the stream's `size` bytes of deflate data and an output of
// `room` bytes. A walk it stops (CodeWalk::kStopped) leaves the stream to zlib, which then
// inflates it alone and so gives zlib's verdict and bytes by construction.
//
// The speed rule: which streams go to zlib. libdeflate inflates most streams two to three times
// as fast as zlib, and the walk costs a small part of that: the backend is well ahead. Two kinds
// of dynamic block turn that around, because on them libdeflate gains little over zlib while
// the walk costs about as much as libdeflate:
//   - literal-only blocks (Huffman-only streams): every code is a literal, which zlib decodes
//     almost as fast as libdeflate, and the walk takes one or two of them per lookup;
//   - short blocks of many codes (a compressor that flushes every few KiB): each has its own
//     header and tables, which zlib, libdeflate and the walk all pay for, and the walk reads its
//     few hundred codes one per lookup (several-code tables do not pay for themselves there).
//     A short block of few codes (a run of zeros between two flushes) costs the walk next to
//     nothing, and libdeflate copies its long matches much faster than zlib.
// On streams made of them, libdeflate and the walk together take up to a third more time than
// zlib alone. So at each dynamic block's codes the walk stops, and leaves the stream to zlib,
// when such blocks outnumber the other dynamic blocks it has met, and it has met at least
// kFewestCostly of them (a literal-only block counts when its codes begin, a short one when it
// ends). A stream of one kind is left within its first kFewestCostly + 1 dynamic blocks, having
// cost next to nothing; a normal stream is never left for the odd short or literal-only block
// among its long ones, and the rule costs it a few counts a block. The least count matters for
// a partition image: its first block (boot sector, superblock and group tables, then zeros) is
// short with many codes, and without it one such block before the first long one would leave
// a whole 128 MiB piece of normal blocks to zlib, at twice libdeflate's time.
// Streams of data compressed already (a compressed kernel, a file system of packed archives and
// images) are the third kind: nearly every code is a literal of about 8 bits, the walk takes
// one per lookup, and libdeflate and the walk together take more than half as long again as
// zlib alone (1.65 times, on the installed .gz, .png, .jar and .zip files at level 6). Their
// deflate data is nearly as long as their output, so the walk stops at the first dynamic block
// of a stream whose deflate data is more than kIncompressibleEighths eighths of its output's
// room.
// Only within the first quarter of the data: the walk throws away what it has done when it
// stops, and past that point it may have cost a good part of zlib's own time (a long normal
// part before many short blocks, as a compressor that starts flushing late makes), while what
// is left of the stream is the smaller part. Beyond it, the walk goes on to the end. Streams of
// less than kWalkedWholeSize bytes are always walked whole: a whole walk takes microseconds, and
// every stream the tests and the fuzz targets make also goes through the walk and libdeflate.
//
// The room rule: how far the walk reads. zlib refuses a stream whose output does not fit, and
// libdeflate stops where the output is full, so the walk need not go further than libdeflate,
// even over a packed buffer far longer than the stream (a sub-file's unread rest is zeros). A
// code takes at most kMostBitsPerByte bits for each byte it makes (a literal up to 15, a match
// of 3 bytes or more up to 15 + 5 + 15 + 13) and the end-of-block code up to
// kMostEndOfBlockBits, so a block's codes that take more than codeBitsFor(room left) bits make
// more than the room holds: the walk refuses them. For the blocks after, the room left is
// less what a block's codes made at least (bytesMadeBy). Stored blocks are not counted.
class LibdeflateWalkPolicy final : public CodeWalkPolicy {
  public:
    static constexpr std::size_t kWalkedWholeSize = 64 * 1024;  // bytes of deflate data
    // A dynamic block shorter than this, with its header, is short; one whose literal/length
    // code has at least kManyCodes codewords has many codes.
    static constexpr std::size_t kShortBlockBits = 32 * 1024;
    static constexpr unsigned kManyCodes = 32;
    // The fewest literal-only and short blocks of many codes that leave a stream to zlib.
    static constexpr std::size_t kFewestCostly = 4;
    // Eighths of the room: deflate data longer than this is of data compressed already.
    static constexpr std::size_t kIncompressibleEighths = 7;
    static constexpr std::size_t kMostBitsPerByte = 16;
    static constexpr std::size_t kMostEndOfBlockBits = 15;

    LibdeflateWalkPolicy(std::size_t size, std::size_t room)
        : decideBefore_(decideBefore(size)),
          incompressible_(compressedAlready(size, room)),
          roomLeft_(room) {}

    // The speed rule. The place, in bits into deflate data of `size` bytes, before which the
    // walk may stop: its first quarter, or none (0) when it is shorter than kWalkedWholeSize.
    static std::size_t decideBefore(std::size_t size) {
        if (size < kWalkedWholeSize) return 0;
        return size / 4 <= SIZE_MAX / 8 ? size / 4 * 8 : SIZE_MAX;
    }
    // True for `size` bytes of deflate data that make an output of up to `room` bytes from data
    // compressed already: more than kIncompressibleEighths eighths of the room.
    static bool compressedAlready(std::size_t size, std::size_t room) {
        return size > room / 8 * kIncompressibleEighths;
    }
    // True for a short dynamic block of many codes: `bits` long with its header, with
    // `codewords` literal/length codewords.
    static bool shortWithManyCodes(std::size_t bits, unsigned codewords) {
        return bits < kShortBlockBits && codewords >= kManyCodes;
    }

    // The room rule. The most bits that codes making at most `room` bytes can take (saturated).
    static std::size_t codeBitsFor(std::size_t room) {
        constexpr std::size_t kLargestRoom = (SIZE_MAX - kMostEndOfBlockBits) / kMostBitsPerByte;
        if (room > kLargestRoom) return SIZE_MAX;
        return room * kMostBitsPerByte + kMostEndOfBlockBits;
    }
    // The fewest bytes that a block's codes of `bits` bits make.
    static std::size_t bytesMadeBy(std::size_t bits) {
        return bits > kMostEndOfBlockBits ? (bits - kMostEndOfBlockBits) / kMostBitsPerByte : 0;
    }

    bool stopBefore(const CodedBlock& block) override {
        if (!block.dynamic) return false;
        if (block.literalsOnly) ++costly_;
        return block.codesStart < decideBefore_ &&
               (incompressible_ || (costly_ > others_ && costly_ >= kFewestCostly));
    }
    std::size_t codeBitsAllowed() const override { return codeBitsFor(roomLeft_); }
    void blockEnded(const CodedBlock& block) override {
        roomLeft_ -= std::min(roomLeft_, bytesMadeBy(block.end - block.codesStart));
        if (block.dynamic && !block.literalsOnly) {
            ++(shortWithManyCodes(block.end - block.start, block.literalCodewords) ? costly_
                                                                                   : others_);
        }
    }

  private:
    std::size_t decideBefore_;  // 0 when the walk goes on to the end
    bool incompressible_;       // compressedAlready: stop at the first dynamic block
    std::size_t roomLeft_;      // the bytes the output can still take, at most
    std::size_t costly_ = 0;    // literal-only and short dynamic blocks of many codes met
    std::size_t others_ = 0;    // other dynamic blocks met
};

}  // namespace dz
