// The deflate code check made plainly: walkDeflateCodesSimply (deflate_check.h).
//
// This is the walk of deflate_check.cpp without any of its speed: the stream is read one bit at
// a time, and a codeword is found as RFC 1951 defines the canonical code, by counting through
// the codewords of each length in turn, shortest first. Each of zlib's rules stands where
// zlib's inflate applies it, as one plain test. Nothing is read ahead: a walk that needs a bit
// past the end of the data refuses the stream there.
//
// The fast walk must give the same result on every stream and ask its policy the same things
// in the same order; the tests (tests/unit/deflate_check_test.cpp) and a fuzz target
// (tests/fuzz/deflate_walk_fuzz.cpp) compare the two.
#include <array>
#include <cstddef>
#include <cstdint>

#include "dzlib/deflate_check.h"

namespace dz {
namespace {

constexpr unsigned kMaxCodeBits = 15;

// Extra bits of the length symbols 257 to 285, and of the distance symbols 0 to 29.
constexpr unsigned kLengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned kDistanceExtraBits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The stream's bits, least significant bit of each byte first.
class Bits {
  public:
    Bits(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // Takes `n` bits (at most 16) into `value`, the first one lowest. False when the data ends
    // before them.
    bool take(unsigned n, unsigned& value) {
        value = 0;
        for (unsigned i = 0; i < n; ++i) {
            if (at_ / 8 >= size_) return false;
            const unsigned bit = data_[at_ / 8] >> (at_ % 8) & 1u;
            value |= bit << i;
            ++at_;
        }
        return true;
    }

    // Goes on to the next byte boundary.
    void alignToByte() { at_ = (at_ + 7) / 8 * 8; }

    // Skips `n` whole bytes (at a byte boundary). False when the data ends before they do.
    bool skipBytes(std::size_t n) {
        if (size_ - at_ / 8 < n) return false;
        at_ += n * 8;
        return true;
    }

    // The bits taken so far.
    std::size_t taken() const { return at_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A canonical code: how many codewords each length has, and the symbols in codeword order.
struct Code {
    std::array<unsigned, kMaxCodeBits + 1> count{};
    std::array<unsigned, 288> symbols{};
};

// Makes the code of the `n` symbols' codeword `lengths` (0 for a symbol without a codeword).
// False when zlib's inflate refuses it: more codewords than the lengths give room for; or
// fewer, unless the code has no codeword at all or a single one-bit codeword. The code length
// code must have room filled exactly, and at least one codeword: zlib takes an empty one, but
// it then reads every code length as 0 and refuses the block for its missing end-of-block code.
bool makeCode(const unsigned* lengths, unsigned n, bool codeLengthCode, Code& code) {
    code.count.fill(0);
    for (unsigned s = 0; s < n; ++s) ++code.count[lengths[s]];
    code.count[0] = 0;
    unsigned codewords = 0;
    long room = 1;  // codewords of the current length that are still free
    for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
        room = room * 2 - code.count[length];
        if (room < 0) return false;
        codewords += code.count[length];
    }
    if (codeLengthCode) {
        if (room != 0 || codewords == 0) return false;
    } else if (room != 0) {
        const bool empty = codewords == 0;
        const bool singleOneBit = codewords == 1 && code.count[1] == 1;
        if (!empty && !singleOneBit) return false;
    }
    unsigned next = 0;
    for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
        for (unsigned s = 0; s < n; ++s) {
            if (lengths[s] == length) code.symbols[next++] = s;
        }
    }
    return true;
}

// Reads one codeword of `code`. Returns its symbol, or -1 when the bits are no codeword of it
// (an incomplete code) or run past the data.
int decode(Bits& in, const Code& code) {
    unsigned codeword = 0;  // the bits read so far, first one highest
    unsigned first = 0;     // the first codeword of the current length
    unsigned index = 0;     // the symbol of `first`
    for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
        unsigned bit = 0;
        if (!in.take(1, bit)) return -1;
        codeword |= bit;
        if (codeword - first < code.count[length]) {
            return static_cast<int>(code.symbols[index + (codeword - first)]);
        }
        index += code.count[length];
        first = (first + code.count[length]) << 1;
        codeword <<= 1;
    }
    return -1;
}

// Walks one block, then another, to the last one.
class SimpleWalk {
  public:
    SimpleWalk(const std::uint8_t* data, std::size_t size, CodeWalkPolicy& policy)
        : in_(data, size), policy_(policy) {}

    CodeWalk walk() {
        for (;;) {
            const std::size_t start = in_.taken();
            unsigned last = 0;
            unsigned type = 0;
            if (!in_.take(1, last) || !in_.take(2, type)) return CodeWalk::kRefused;
            CodeWalk end = CodeWalk::kRefused;
            if (type == 0) {
                end = stored();
            } else if (type == 1) {
                end = fixed(start);
            } else if (type == 2) {
                end = dynamic(start);
            }  // type 3: refused
            if (end != CodeWalk::kRead) return end;
            if (last == 1) return CodeWalk::kRead;
        }
    }

  private:
    CodeWalk stored() {
        in_.alignToByte();
        unsigned length = 0;
        unsigned complement = 0;
        if (!in_.take(16, length) || !in_.take(16, complement)) return CodeWalk::kRefused;
        if (length != (~complement & 0xffffu)) return CodeWalk::kRefused;
        if (!in_.skipBytes(length)) return CodeWalk::kRefused;
        return CodeWalk::kRead;
    }

    CodeWalk fixed(std::size_t start) {
        unsigned lengths[288 + 32];
        for (unsigned s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        for (unsigned s = 288; s < 288 + 32; ++s) lengths[s] = 5;
        Code literals;
        Code distances;
        makeCode(lengths, 288, false, literals);
        makeCode(lengths + 288, 32, false, distances);
        CodedBlock block;
        block.start = start;
        block.codesStart = in_.taken();
        return codes(block, literals, distances);
    }

    // A dynamic block's header and codes. Kept whole: it is the header's reading in zlib's order,
    // step by step, as the fast walk's is, so that the two can be read side by side.
    CodeWalk dynamic(std::size_t start) {
        unsigned literalCount = 0;
        unsigned distanceCount = 0;
        unsigned lengthCodeCount = 0;
        if (!in_.take(5, literalCount) || !in_.take(5, distanceCount) ||
            !in_.take(4, lengthCodeCount)) {
            return CodeWalk::kRefused;
        }
        literalCount += 257;
        distanceCount += 1;
        lengthCodeCount += 4;
        // zlib: "too many length or distance symbols".
        if (literalCount > 286 || distanceCount > 30) return CodeWalk::kRefused;

        // The code length code: 3 bits for each of the first symbols in this order.
        static constexpr unsigned kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                11, 4,  12, 3, 13, 2, 14, 1, 15};
        unsigned lengthCodeLengths[19] = {};
        for (unsigned i = 0; i < lengthCodeCount; ++i) {
            if (!in_.take(3, lengthCodeLengths[kOrder[i]])) return CodeWalk::kRefused;
        }
        Code lengthCode;
        // zlib: "invalid code lengths set".
        if (!makeCode(lengthCodeLengths, 19, true, lengthCode)) return CodeWalk::kRefused;

        // The code lengths of both codes, in one list.
        const unsigned total = literalCount + distanceCount;
        unsigned lengths[286 + 30] = {};
        unsigned have = 0;
        while (have < total) {
            const int symbol = decode(in_, lengthCode);
            if (symbol < 0) return CodeWalk::kRefused;
            if (symbol < 16) {
                lengths[have++] = static_cast<unsigned>(symbol);
                continue;
            }
            unsigned repeated = 0;
            unsigned times = 0;
            unsigned extra = 0;
            if (symbol == 16) {
                // zlib: "invalid bit length repeat", with no length before.
                if (have == 0) return CodeWalk::kRefused;
                repeated = lengths[have - 1];
                if (!in_.take(2, extra)) return CodeWalk::kRefused;
                times = 3 + extra;
            } else if (symbol == 17) {
                if (!in_.take(3, extra)) return CodeWalk::kRefused;
                times = 3 + extra;
            } else {
                if (!in_.take(7, extra)) return CodeWalk::kRefused;
                times = 11 + extra;
            }
            // zlib: "invalid bit length repeat", past the end of the list.
            if (have + times > total) return CodeWalk::kRefused;
            for (unsigned i = 0; i < times; ++i) lengths[have++] = repeated;
        }
        // zlib: "invalid code -- missing end-of-block".
        if (lengths[256] == 0) return CodeWalk::kRefused;
        Code literals;
        Code distances;
        // zlib: "invalid literal/lengths set", "invalid distances set".
        if (!makeCode(lengths, literalCount, false, literals)) return CodeWalk::kRefused;
        if (!makeCode(lengths + literalCount, distanceCount, false, distances)) {
            return CodeWalk::kRefused;
        }

        CodedBlock block;
        block.dynamic = true;
        block.literalsOnly = true;
        for (unsigned s = 0; s < literalCount; ++s) {
            if (lengths[s] == 0) continue;
            ++block.literalCodewords;
            if (s > 256) block.literalsOnly = false;
        }
        block.start = start;
        block.codesStart = in_.taken();
        return codes(block, literals, distances);
    }

    // Asks the policy about the block, then reads its codes up to its end-of-block code.
    CodeWalk codes(CodedBlock& block, const Code& literals, const Code& distances) {
        if (policy_.stopBefore(block)) return CodeWalk::kStopped;
        const std::size_t allowed = policy_.codeBitsAllowed();
        for (;;) {
            const int symbol = decode(in_, literals);
            // zlib: "invalid literal/length code" (no codeword, or 286 and 287 of the fixed code).
            if (symbol < 0 || symbol > 285) return CodeWalk::kRefused;
            if (symbol > 256) {
                unsigned extra = 0;
                if (!in_.take(kLengthExtraBits[symbol - 257], extra)) return CodeWalk::kRefused;
                const int distance = decode(in_, distances);
                // zlib: "invalid distance code" (no codeword, or 30 and 31 of the fixed code).
                if (distance < 0 || distance > 29) return CodeWalk::kRefused;
                if (!in_.take(kDistanceExtraBits[distance], extra)) return CodeWalk::kRefused;
            }
            if (in_.taken() - block.codesStart > allowed) return CodeWalk::kRefused;
            if (symbol == 256) break;
        }
        block.end = in_.taken();
        policy_.blockEnded(block);
        return CodeWalk::kRead;
    }

    Bits in_;
    CodeWalkPolicy& policy_;
};

}  // namespace

CodeWalk walkDeflateCodesSimply(const std::uint8_t* data, std::size_t size,
                                CodeWalkPolicy& policy) {
    return SimpleWalk(data, size, policy).walk();
}

}  // namespace dz
