// The packed streams that the inflate tests share: a table of wrapped streams, each with the
// result every inflater must give (accepted with its bytes, or refused), and dynamic blocks whose
// codes sit at the edges of the deflate code check's tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vectors {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text);

// Compresses `content` with zlib; windowBits 15 gives a zlib wrapper, 31 gzip, -15 no wrapper.
Bytes deflateWith(const Bytes& content, int level, int windowBits, int strategy = 0,
                  const Bytes* dictionary = nullptr);

struct Vector {
    std::string name;
    Bytes packed;
    bool accepted;  // at an output size of at least content.size()
    Bytes content;  // the bytes out when accepted; else what the stream holds or would hold
};

// zlib's own streams over several contents, levels and strategies in both wrappers; wrappers
// and deflate data built by hand for the corners a compressor never makes; damaged streams, and
// streams cut short at every length. More than a thousand.
std::vector<Vector> inflateVectors();

struct CodesCase {
    const char* name;
    std::vector<unsigned> literalLengths;   // 286
    std::vector<unsigned> distanceLengths;  // 1 or more
    unsigned rounds;           // each: every literal, then a match for every distance codeword
    int lastDistanceBit = -1;  // 0 or 1: at the end, a match with this bit as its distance code
};

// Codes at the edges of the check's tables: each case in one round and in 300 (long enough for
// the several-code table).
std::vector<CodesCase> codesCases();

// A last dynamic block of the case's codes, raw (no wrapper).
Bytes dynamicBlock(const CodesCase& c);

}  // namespace vectors
