// The deflate code check: block headers and codes read as zlib reads them.
//
// The walk needs no literal values, lengths or distances, only how many bits each code takes and
// whether zlib would take it at all. So one table lookup takes as many whole codes as its index
// bits hold: several literals, literals and a length with its extra bits, a length and its
// distance. Stored data and long matches cost little; literals and short matches cost about half
// as much as libdeflate's own decoding.
#include "dzlib/deflate_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace dz {

namespace {

constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kRootBits = 11;
constexpr unsigned kRootSize = 1u << kRootBits;
constexpr unsigned kRootMask = kRootSize - 1;
constexpr unsigned kSubBits = kMaxCodeBits - kRootBits;
constexpr unsigned kSubSize = 1u << kSubBits;
constexpr unsigned kMaxSymbols = 288;  // literal/length symbols, as the fixed code has them
constexpr unsigned kMaxDistanceSymbols = 32;

// Step entries, for the literal/length and distance codes. A walk is in one of two states: a
// literal/length code comes next, or a distance code. Each state has its own root table,
// indexed by the next kRootBits bits.
//
// A plain entry (kSpecial clear) is one step:
//   bits 0-5   the bits the step takes: one or more whole codes, each with its extra bits. Every
//              code of a step but the last lies within the index bits; the last one's extra
//              bits may run past them (the walk only skips them). At most 11 + 13 bits, or
//              15 + 13 for an entry of a sub-table.
//   bit 6      kToDistance: a distance code comes next (the step ends with a length).
//   bits 8-11  the step's width: how many index bits its codes depend on (all the bits it
//              takes but the last code's extra bits). Only tables being built look at it.
// A special entry (kSpecial set) takes no bits by itself, and its width bits are all set, more
// than any step has room for. By its high byte:
//   kLink | n          the codeword is longer than the index bits; sub-table n, indexed by the
//                      kSubBits bits after them, holds one-code entries (never links).
//   kEndOfBlock | b    the end-of-block code, b bits long.
//   kInvalid           a bit pattern no codeword covers, or a symbol zlib refuses (length
//                      symbols 286 and 287, distance symbols 30 and 31).
constexpr unsigned kTakeMask = 0x3f;
constexpr unsigned kToDistance = 0x40;
constexpr unsigned kWidthShift = 8;
constexpr unsigned kWidthMask = 0xf;
constexpr unsigned kSpecial = 0x8000;
constexpr unsigned kKindMask = 0xff00;
constexpr unsigned kLink = kSpecial | kWidthMask << kWidthShift;
// The two codes of a block have at most 158 sub-tables between them: each holds two or more
// of the 286 + 30 codewords (incomplete codes have no long ones).
constexpr unsigned kLinkMask = 0xff;
constexpr unsigned kEndOfBlock = kLink + 0x1000;
constexpr unsigned kInvalid = kLink + 0x2000;
// kToDistance, shifted this far, is where the distance state's root table starts.
constexpr unsigned kStateShift = kRootBits - std::countr_zero(kToDistance);

constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The step tables of a block's literal/length and distance codes.
struct StepTables {
    // [0, kRootSize): the literal/length state; [kRootSize, 2 * kRootSize): the distance state.
    std::array<std::uint16_t, 2 * kRootSize> root;
    std::array<std::uint16_t, (kMaxSymbols + kMaxDistanceSymbols) * kSubSize> sub;
};

// The code length code in one table indexed by the next 7 bits: symbol << 5 | codeword length,
// or 0 for a bit pattern no codeword covers.
constexpr unsigned kLengthCodeBits = 7;
constexpr unsigned kCodeLengthShift = 5;
using LengthCodeTable = std::array<std::uint16_t, 1u << kLengthCodeBits>;

using CodeCounts = std::array<std::uint16_t, kMaxCodeBits + 1>;

// Counts the codeword lengths of `n` symbols; false when zlib's inflate refuses the set:
// over-subscribed, or incomplete unless it is an empty code (other than the code length code)
// or a single one-bit codeword.
bool countCode(const std::uint8_t* lengths, unsigned n, bool codeLengthCode, CodeCounts& count) {
    count.fill(0);
    for (unsigned s = 0; s < n; ++s) ++count[lengths[s]];
    unsigned maxLength = kMaxCodeBits;
    while (maxLength > 0 && count[maxLength] == 0) --maxLength;
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        left = 2 * left - count[len];
        if (left < 0) return false;
    }
    return left == 0 || (!codeLengthCode && maxLength <= 1);
}

// Calls visit(symbol, length, codeword) for each symbol of the canonical code with the counted
// `lengths`, shortest codewords first, the codeword in the order deflate sends it (its first
// bit lowest). Before the first codeword of each length up to `tableBits` it calls grow(length).
template <typename Grow, typename Visit>
void forEachCodeword(const std::uint8_t* lengths, unsigned n, const CodeCounts& count,
                     unsigned tableBits, Grow grow, Visit visit) {
    std::array<std::uint16_t, kMaxCodeBits + 2> offset{};
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) offset[len + 1] = offset[len] + count[len];
    std::array<std::uint16_t, kMaxSymbols> sorted;
    for (unsigned s = 0; s < n; ++s) {
        if (lengths[s] != 0) sorted[offset[lengths[s]]++] = static_cast<std::uint16_t>(s);
    }
    // Going from one length to the next appends a 0 to the codeword, which does not change it
    // in deflate's bit order; within a length, the codeword counts up, high bit first.
    unsigned codeword = 0;
    unsigned index = 0;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        if (len <= tableBits) grow(len);
        for (unsigned i = 0; i < count[len]; ++i) {
            visit(sorted[index++], len, codeword);
            const unsigned low = std::bit_floor(~codeword & ((1u << len) - 1));
            codeword = (codeword & (low - 1)) | low;
        }
    }
}

// The one-code entry for `symbol` of the literal/length or distance code, `length` bits long.
unsigned codeEntry(bool distances, unsigned symbol, unsigned length) {
    const unsigned width = length << kWidthShift;
    if (distances) return symbol < 30 ? (width | (length + kDistanceExtra[symbol])) : kInvalid;
    if (symbol < 256) return width | length;
    if (symbol == 256) return kEndOfBlock | length;
    if (symbol < 286) return width | (length + kLengthExtra[symbol - 257]) | kToDistance;
    return kInvalid;
}

// Fills a root table of one-code entries (kRootSize of them at `root`) and the sub-tables of
// its long codewords, numbered from `subTables` on.
void fillCode(StepTables& tables, std::uint16_t* root, unsigned& subTables,
              const std::uint8_t* lengths, unsigned n, const CodeCounts& count, bool distances) {
    // The table grows with the codewords: all of length `len` or less fill one of 2^len
    // entries each, and a copy of those entries fills the next 2^len, where every pattern
    // that starts with one of them leads to it too. Patterns left over stay invalid.
    root[0] = root[1] = static_cast<std::uint16_t>(kInvalid);
    auto grow = [&](unsigned len) {
        if (len > 1) std::copy_n(root, 1u << (len - 1), root + (1u << (len - 1)));
    };
    auto visit = [&](unsigned symbol, unsigned len, unsigned codeword) {
        const auto entry = static_cast<std::uint16_t>(codeEntry(distances, symbol, len));
        if (len <= kRootBits) {
            root[codeword] = entry;
            return;
        }
        // No shorter codeword is a prefix of this one, so its root entry is still invalid or
        // already leads to its sub-table.
        std::uint16_t& link = root[codeword & kRootMask];
        if (link == kInvalid) {
            link = static_cast<std::uint16_t>(kLink | subTables);
            std::fill_n(tables.sub.begin() + subTables * kSubSize, kSubSize,
                        static_cast<std::uint16_t>(kInvalid));
            ++subTables;
        }
        std::uint16_t* const sub = tables.sub.data() + (link & kLinkMask) * kSubSize;
        for (unsigned j = codeword >> kRootBits; j < kSubSize; j += 1u << (len - kRootBits)) {
            sub[j] = entry;
        }
    };
    forEachCodeword(lengths, n, count, kRootBits, grow, visit);
}

// Builds `tables` from counted literal/length and distance code lengths; `oneCode` is room for
// kRootSize entries.
void buildSteps(StepTables& tables, std::uint16_t* oneCode, const std::uint8_t* literalLengths,
                unsigned literalCount, const CodeCounts& literalCounts,
                const std::uint8_t* distanceLengths, unsigned distanceCount,
                const CodeCounts& distanceCounts) {
    unsigned subTables = 0;
    std::uint16_t* const literalRoot = tables.root.data();
    std::uint16_t* const distanceRoot = tables.root.data() + kRootSize;
    fillCode(tables, distanceRoot, subTables, distanceLengths, distanceCount, distanceCounts, true);
    fillCode(tables, oneCode, subTables, literalLengths, literalCount, literalCounts, false);

    // Lets each literal/length entry go on, after its own code, into the step that the bits
    // above it begin (at k = j >> taken): the longest one built there if its codes lie within
    // the index bits left, else its first code alone if that does. k is below j but for j = 0,
    // which goes on into its own first code (entry 0 set below).
    const auto width = [](unsigned entry) {
        return static_cast<int>(entry >> kWidthShift & kWidthMask);
    };
    literalRoot[0] = oneCode[0];
    for (unsigned j = 0; j < kRootSize; ++j) {
        const unsigned entry = oneCode[j];
        const unsigned taken = entry & kTakeMask;
        // Bits left for more codes; none when the entry is special or takes them all.
        const int room =
            (entry & kSpecial) != 0 ? 0 : static_cast<int>(kRootBits) - static_cast<int>(taken);
        const unsigned k = room > 0 ? j >> taken : 0;
        unsigned next = literalRoot[k];
        next = width(next) <= room ? next : oneCode[k];
        next = (entry & kToDistance) != 0 ? distanceRoot[k] : next;
        const unsigned longer = (taken + width(next)) << kWidthShift |
                                (taken + (next & kTakeMask)) | (next & kToDistance);
        literalRoot[j] = static_cast<std::uint16_t>(width(next) <= room ? longer : entry);
    }
}

// Builds the code length code's table; false when zlib's inflate refuses the code.
bool buildLengthCode(LengthCodeTable& table, const std::uint8_t* lengths) {
    CodeCounts count;
    if (!countCode(lengths, 19, true, count)) return false;
    table.fill(0);
    auto visit = [&](unsigned symbol, unsigned len, unsigned codeword) {
        for (unsigned j = codeword; j < table.size(); j += 1u << len) {
            table[j] = static_cast<std::uint16_t>(symbol << kCodeLengthShift | len);
        }
    };
    const auto noGrow = [](unsigned) {};
    forEachCodeword(lengths, 19, count, 0, noGrow, visit);
    return true;
}

// Reads a deflate stream's bits, least significant first, from a 64-bit buffer.
class BitReader {
  public:
    BitReader(const std::uint8_t* data, std::size_t size) : next_(data), end_(data + size) {}

    // Tops the buffer up to at least 56 bits; past the end of the data it adds zero bytes and
    // counts them, so a stream that needs them is caught (see pastEnd). Returns !pastEnd(), for
    // loops that would otherwise go on through zero bytes without end.
    bool refill() {
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
            return true;
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
        return !pastEnd();
    }

    // The next bits under `mask` (no more than are buffered), left in the buffer.
    unsigned peek(unsigned mask) const { return static_cast<unsigned>(bits_) & mask; }

    // Removes and returns the next `n` bits (no more than are buffered).
    unsigned take(unsigned n) {
        const auto value = static_cast<unsigned>(bits_ & ((std::uint64_t{1} << n) - 1));
        bits_ >>= n;
        count_ -= n;
        return value;
    }

    // Removes the next `entry & 0x3f` bits (no more than are buffered). A 64-bit shift on x86
    // reads its count that way anyway, so the shift needs no separate masking there.
    void skip(unsigned entry) {
        bits_ >>= entry & 0x3f;
        count_ -= entry & 0x3f;
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
    LengthCodeTable lengthCode;
    StepTables steps;
    std::array<std::uint16_t, kRootSize> oneCode;  // room for building `steps`
    // The code lengths `steps` was last built from (literal count, distance count, lengths);
    // a block with the same ones needs no new tables. A count of 0 matches no block.
    unsigned builtLiteralCount = 0;
    unsigned builtDistanceCount = 0;
    std::array<std::uint8_t, 320> builtLengths;
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
                ok = blockCodes(fixedCodes().steps);
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
            std::uint8_t literals[kMaxSymbols];
            std::memset(literals, 8, 144);
            std::memset(literals + 144, 9, 112);
            std::memset(literals + 256, 7, 24);
            std::memset(literals + 280, 8, 8);
            std::uint8_t distances[kMaxDistanceSymbols];
            std::memset(distances, 5, kMaxDistanceSymbols);
            CodeCounts literalCounts;
            CodeCounts distanceCounts;
            countCode(literals, kMaxSymbols, false, literalCounts);
            countCode(distances, kMaxDistanceSymbols, false, distanceCounts);
            std::array<std::uint16_t, kRootSize> oneCode;
            buildSteps(steps, oneCode.data(), literals, kMaxSymbols, literalCounts, distances,
                       kMaxDistanceSymbols, distanceCounts);
        }
        StepTables steps;
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
        if (!buildLengthCode(tables_.lengthCode, lengths)) return false;

        const unsigned total = literalCount + distanceCount;
        unsigned have = 0;
        std::memset(lengths, 0, 19);
        while (have < total) {
            in_.refill();
            const unsigned entry = tables_.lengthCode[in_.peek((1u << kLengthCodeBits) - 1)];
            if (entry == 0) return false;
            in_.take(entry & ((1u << kCodeLengthShift) - 1));
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

        CodeTables& t = tables_;
        if (literalCount != t.builtLiteralCount || distanceCount != t.builtDistanceCount ||
            std::memcmp(lengths, t.builtLengths.data(), total) != 0) {
            CodeCounts literalCounts;
            CodeCounts distanceCounts;
            if (!countCode(lengths, literalCount, false, literalCounts) ||
                !countCode(lengths + literalCount, distanceCount, false, distanceCounts)) {
                return false;
            }
            t.builtLiteralCount = 0;  // while `steps` is half built
            buildSteps(t.steps, t.oneCode.data(), lengths, literalCount, literalCounts,
                       lengths + literalCount, distanceCount, distanceCounts);
            t.builtLiteralCount = literalCount;
            t.builtDistanceCount = distanceCount;
            std::memcpy(t.builtLengths.data(), lengths, total);
        }
        return blockCodes(t.steps);
    }

    // Reads a block's codes up to its end-of-block code; false on one zlib refuses.
    bool blockCodes(const StepTables& steps) {
        BitReader in = in_;  // a local copy stays in registers
        const bool ok = blockCodes(in, steps);
        in_ = in;
        return ok;
    }

    static bool blockCodes(BitReader& in, const StepTables& steps) {
        // Each step starts with at least 56 bits buffered and takes at most 28, so the next
        // step's index is read before the refill that follows, which is then not on the way
        // from one table read to the next.
        const std::uint16_t* table = steps.root.data();  // the root table of the walk's state
        if (!in.refill()) return false;
        unsigned index = in.peek(kRootMask);
        for (;;) {
            unsigned entry = table[index];
            if ((entry & kSpecial) != 0) {
                if ((entry & kKindMask) == kLink) {
                    const unsigned subIndex = in.peek((1u << kMaxCodeBits) - 1) >> kRootBits;
                    entry = steps.sub[(entry & kLinkMask) * kSubSize + subIndex];
                }
                if ((entry & kKindMask) == kEndOfBlock) {
                    in.take(entry & kTakeMask);
                    return true;
                }
                if ((entry & kSpecial) != 0) return false;  // invalid
            }
            in.skip(entry);
            index = in.peek(kRootMask);
            table = steps.root.data() + ((entry & kToDistance) << kStateShift);
            if (!in.refill()) return false;
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

}  // namespace dz
