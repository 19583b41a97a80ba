// The deflate code check: block headers and codes read as zlib reads them.
//
// It skips stored data and long matches quickly but costs about as much as libdeflate's own
// decoding where literals and short matches dominate.
#include "container/deflate_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace container {

namespace {

constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kRootBits = 11;
constexpr unsigned kRootMask = (1u << kRootBits) - 1;
constexpr unsigned kSubSize = 1u << (kMaxCodeBits - kRootBits);
constexpr unsigned kMaxSymbols = 288;

// Table entries. The walker needs no literal values and no extra-bit values, only how many bits
// each step takes, so an entry holds the bits to take (codeword and extra bits) in its low five
// bits and what was read above them. 0 is a bit pattern no codeword covers, or a symbol zlib
// refuses (length symbols 286 and 287, distance symbols 30 and 31): either way, invalid.
constexpr unsigned kInvalid = 0;
constexpr unsigned kLiterals = 0x0000;  // one or more whole literal codewords
constexpr unsigned kEndOfBlock = 0x2000;
constexpr unsigned kMatchPart = 0x4000;  // a length, or a distance, with its extra bits
constexpr unsigned kLink = 0x8000;       // root entry: sub-table number in the low 15 bits
constexpr unsigned kBitsMask = 0x1f;
constexpr unsigned kCodeLengthShift = 5;  // code length code entries: symbol << 5 | bits

constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// A canonical prefix code in a two-level table: a root table indexed by the next kRootBits
// bits, and sub-tables for longer codewords indexed by the bits after those.
struct PrefixCode {
    std::array<std::uint16_t, 1u << kRootBits> root;
    std::array<std::uint16_t, kMaxSymbols * kSubSize> sub;
};

enum class CodeKind { codeLengths, literals, distances };

// The entry for `symbol` of a `kind` code whose codeword is `length` bits long.
std::uint16_t entryFor(CodeKind kind, unsigned symbol, unsigned length) {
    unsigned entry = kInvalid;
    if (kind == CodeKind::codeLengths) {
        entry = symbol << kCodeLengthShift | length;
    } else if (kind == CodeKind::distances) {
        if (symbol < 30) entry = kMatchPart | (length + kDistanceExtra[symbol]);
    } else if (symbol < 256) {
        entry = kLiterals | length;
    } else if (symbol == 256) {
        entry = kEndOfBlock | length;
    } else if (symbol < 286) {
        entry = kMatchPart | (length + kLengthExtra[symbol - 257]);
    }
    return static_cast<std::uint16_t>(entry);
}

// Builds `code` from `n` code lengths; false when zlib's inflate refuses the set: over-subscribed,
// or incomplete unless it is an empty distance code or a single one-bit codeword.
bool buildCode(PrefixCode& code, const std::uint8_t* lengths, unsigned n, CodeKind kind) {
    std::array<std::uint16_t, kMaxCodeBits + 1> count{};
    for (unsigned s = 0; s < n; ++s) ++count[lengths[s]];
    unsigned maxLength = kMaxCodeBits;
    while (maxLength > 0 && count[maxLength] == 0) --maxLength;
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        left = 2 * left - count[len];
        if (left < 0) return false;
    }
    if (left > 0 && (kind == CodeKind::codeLengths || maxLength > 1)) return false;

    // Symbols ordered by codeword: by length, then by symbol.
    std::array<std::uint16_t, kMaxCodeBits + 2> offset{};
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        offset[len + 1] = static_cast<std::uint16_t>(offset[len] + count[len]);
    }
    std::array<std::uint16_t, kMaxSymbols> symbols;
    for (unsigned s = 0; s < n; ++s) {
        if (lengths[s] != 0) symbols[offset[lengths[s]]++] = static_cast<std::uint16_t>(s);
    }
    code.root.fill(kInvalid);
    unsigned subTables = 0;
    unsigned codeword = 0;
    unsigned index = 0;
    for (unsigned len = 1; len <= maxLength; ++len, codeword <<= 1) {
        for (unsigned i = 0; i < count[len]; ++i, ++index, ++codeword) {
            unsigned reversed = 0;  // deflate sends codewords most significant bit first
            for (unsigned b = 0; b < len; ++b) reversed |= ((codeword >> b) & 1u) << (len - 1 - b);
            const std::uint16_t entry = entryFor(kind, symbols[index], len);
            if (len <= kRootBits) {
                for (unsigned j = reversed; j <= kRootMask; j += 1u << len) code.root[j] = entry;
                continue;
            }
            // Shorter codewords come first and none is a prefix of this one, so its root entry
            // is still empty or already leads to its sub-table.
            std::uint16_t& link = code.root[reversed & kRootMask];
            if (link == kInvalid) {
                link = static_cast<std::uint16_t>(kLink | subTables);
                std::fill_n(code.sub.begin() + subTables * kSubSize, kSubSize, kInvalid);
                ++subTables;
            }
            std::uint16_t* const table = code.sub.data() + (link & ~kLink) * kSubSize;
            for (unsigned j = reversed >> kRootBits; j < kSubSize; j += 1u << (len - kRootBits)) {
                table[j] = entry;
            }
        }
    }
    if (kind == CodeKind::literals) {
        // Let one root entry take as many whole literal codewords as its bits hold. Going down
        // from the top, the entries read (j >> taken, not above j) still hold single codewords.
        for (unsigned j = kRootMask + 1; j-- > 0;) {
            unsigned taken = 0;
            for (;;) {
                const unsigned next = code.root[j >> taken];
                if (next == kInvalid || next >= kEndOfBlock || taken + next > kRootBits) break;
                taken += next;
            }
            if (taken > 0) code.root[j] = static_cast<std::uint16_t>(kLiterals | taken);
        }
    }
    return true;
}

// Reads a deflate stream's bits, least significant first, from a 64-bit buffer.
class BitReader {
  public:
    BitReader(const std::uint8_t* data, std::size_t size) : next_(data), end_(data + size) {}

    // Tops the buffer up to at least 56 bits; past the end of the data it adds zero bytes and
    // counts them, so a stream that needs them is caught (see pastEnd).
    void refill() {
        if (end_ - next_ >= 8) {
            std::uint64_t word;
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(&word, next_, 8);
            } else {
                word = 0;
                for (unsigned i = 0; i < 8; ++i) word |= std::uint64_t{next_[i]} << (8 * i);
            }
            // Bits above count_ already hold the same bytes at the same places, so OR is safe.
            bits_ |= word << count_;
            next_ += (63 - count_) >> 3;
            count_ |= 56;
            return;
        }
        while (count_ < 56) {
            std::uint64_t byte = 0;
            if (next_ != end_) {
                byte = *next_++;
            } else {
                ++overrun_;
            }
            bits_ |= byte << count_;
            count_ += 8;
        }
    }

    // Removes and returns the next `n` bits (no more than are buffered).
    unsigned take(unsigned n) {
        const auto value = static_cast<unsigned>(bits_ & ((std::uint64_t{1} << n) - 1));
        bits_ >>= n;
        count_ -= n;
        return value;
    }

    // The entry of `code` for the buffered bits (at least 15 of them).
    unsigned lookup(const PrefixCode& code) const {
        const unsigned entry = code.root[bits_ & kRootMask];
        if (entry < kLink) return entry;
        return code.sub[(entry & ~kLink) * kSubSize + ((bits_ >> kRootBits) & (kSubSize - 1))];
    }

    // True when bits past the end of the data have been taken.
    bool pastEnd() const { return overrun_ > count_ / 8; }

    // Drops the bits up to the next byte boundary and returns where that byte is, or null when
    // it lies past the end of the data.
    const std::uint8_t* alignToByte() {
        take(count_ % 8);
        if (pastEnd()) return nullptr;
        return next_ - (count_ / 8 - overrun_);
    }

    // Goes on reading at `at`, a byte boundary within the data.
    void restartAt(const std::uint8_t* at) {
        next_ = at;
        bits_ = 0;
        count_ = 0;
        overrun_ = 0;
    }

    const std::uint8_t* end() const { return end_; }

  private:
    const std::uint8_t* next_;
    const std::uint8_t* end_;
    std::uint64_t bits_ = 0;
    unsigned count_ = 0;
    std::size_t overrun_ = 0;
};

// The tables a walk builds its codes in, kept from one call to the next.
struct CodeTables {
    PrefixCode lengthCode;
    PrefixCode literalCode;
    PrefixCode distanceCode;
};

// Reads a deflate stream's block headers and codes, without producing output, and refuses
// what zlib's inflate refuses among the streams libdeflate decodes (see deflate_check.h).
class CodeWalker {
  public:
    CodeWalker(const std::uint8_t* data, std::size_t size, CodeTables& tables)
        : in_(data, size), tables_(tables) {}

    // True when every block reads to its end the way zlib reads it, within the data.
    bool walk() {
        for (;;) {
            in_.refill();
            const unsigned last = in_.take(1);
            const unsigned type = in_.take(2);
            bool ok = false;
            if (type == 0) {
                ok = storedBlock();
            } else if (type == 1) {
                ok = blockCodes(fixedCodes().literals, fixedCodes().distances);
            } else if (type == 2) {
                ok = dynamicBlock();
            }
            if (!ok) return false;
            if (last != 0) return !in_.pastEnd();
        }
    }

  private:
    // The fixed codes, with all 288 literal/length and 32 distance symbols, as zlib builds them.
    struct FixedCodes {
        FixedCodes() {
            std::uint8_t lengths[288];
            std::memset(lengths, 8, 144);
            std::memset(lengths + 144, 9, 112);
            std::memset(lengths + 256, 7, 24);
            std::memset(lengths + 280, 8, 8);
            buildCode(literals, lengths, 288, CodeKind::literals);
            std::memset(lengths, 5, 32);
            buildCode(distances, lengths, 32, CodeKind::distances);
        }
        PrefixCode literals;
        PrefixCode distances;
    };

    static const FixedCodes& fixedCodes() {
        static const FixedCodes codes;
        return codes;
    }

    // Skips a stored block; false when its length check fails or it runs past the data.
    bool storedBlock() {
        const std::uint8_t* at = in_.alignToByte();
        if (at == nullptr || in_.end() - at < 4) return false;
        const unsigned length = at[0] | at[1] << 8;
        const unsigned complement = at[2] | at[3] << 8;
        if (length != (~complement & 0xffffu)) return false;
        at += 4;
        if (static_cast<std::size_t>(in_.end() - at) < length) return false;
        in_.restartAt(at + length);
        return true;
    }

    // Reads a dynamic block's code lengths as zlib does, then its codes.
    bool dynamicBlock() {
        static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};
        in_.refill();
        const unsigned literalCount = in_.take(5) + 257;
        const unsigned distanceCount = in_.take(5) + 1;
        const unsigned lengthCodeCount = in_.take(4) + 4;
        if (literalCount > 286 || distanceCount > 30) return false;
        std::uint8_t lengths[320] = {};
        for (unsigned i = 0; i < lengthCodeCount; ++i) {
            in_.refill();
            lengths[kOrder[i]] = static_cast<std::uint8_t>(in_.take(3));
        }
        if (!buildCode(tables_.lengthCode, lengths, 19, CodeKind::codeLengths)) return false;

        const unsigned total = literalCount + distanceCount;
        unsigned have = 0;
        std::memset(lengths, 0, 19);
        while (have < total) {
            in_.refill();
            const unsigned entry = in_.lookup(tables_.lengthCode);
            if (entry == kInvalid) return false;
            in_.take(entry & kBitsMask);
            const unsigned symbol = entry >> kCodeLengthShift;
            if (symbol < 16) {
                lengths[have++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            std::uint8_t repeated = 0;
            unsigned times = 0;
            if (symbol == 16) {
                if (have == 0) return false;
                repeated = lengths[have - 1];
                times = 3 + in_.take(2);
            } else if (symbol == 17) {
                times = 3 + in_.take(3);
            } else {
                times = 11 + in_.take(7);
            }
            if (have + times > total) return false;
            std::memset(lengths + have, repeated, times);
            have += times;
        }
        if (lengths[256] == 0) return false;
        PrefixCode& literals = tables_.literalCode;
        PrefixCode& distances = tables_.distanceCode;
        if (!buildCode(literals, lengths, literalCount, CodeKind::literals)) return false;
        if (!buildCode(distances, lengths + literalCount, distanceCount, CodeKind::distances)) {
            return false;
        }
        return blockCodes(literals, distances);
    }

    // Reads a block's codes up to its end-of-block code; false on one zlib refuses.
    bool blockCodes(const PrefixCode& literals, const PrefixCode& distances) {
        BitReader in = in_;  // a local copy stays in registers
        const bool ok = blockCodes(in, literals, distances);
        in_ = in;
        return ok;
    }

    static bool blockCodes(BitReader& in, const PrefixCode& literals, const PrefixCode& distances) {
        for (;;) {
            // A refill leaves at least 56 bits, enough for a length (at most 20 bits with its
            // extra bits) and a distance (at most 28). The distance entry is read after
            // literals too and then takes no bits, which spares a hard-to-predict branch.
            in.refill();
            const unsigned entry = in.lookup(literals);
            if (entry == kInvalid || (entry & kEndOfBlock) != 0) {
                if (entry == kInvalid) return false;
                in.take(entry & kBitsMask);
                return true;
            }
            in.take(entry & kBitsMask);
            const unsigned distance = in.lookup(distances);
            const unsigned match = entry >> 14;  // 1 for a length, 0 for literals
            if ((match & (distance == kInvalid)) != 0) return false;
            in.take(distance & kBitsMask & (0u - match));
        }
    }

    BitReader in_;
    CodeTables& tables_;
};

}  // namespace

bool zlibReadsDeflateCodes(const std::uint8_t* data, std::size_t size) {
    // The tables are large; they are kept from one call to the next, one set for each thread.
    thread_local CodeTables tables;
    CodeWalker walker(data, size, tables);
    return walker.walk();
}

}  // namespace container
