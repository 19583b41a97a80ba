// The deflate code check: block headers and codes read as zlib reads them.
//
// The walk needs no literal values, lengths or distances, only how many bits each code takes and
// whether zlib would take it at all. A block's codes go into step tables: the entry that the
// next bits of the stream lead to says how many bits to take and what comes next.
//
// Building tables costs time, and blocks come short (a compressor that flushes often starts a
// new block every few hundred codes) and long. So a block is first walked one code per lookup,
// in tables no larger than its codes need. Once it has gone on for kOneCodeSteps steps, a
// several-code table is built for the rest of it, whose entries take as many whole codes as
// their index bits hold: several literals, literals and a length with its extra bits, a length
// and its distance. Long blocks of short codes (Huffman-only and RLE streams, zero runs) take
// two to ten codes per lookup that way.
//
// Where the walk stops early and how far the codes may run is its caller's policy
// (CodeWalkPolicy; the libdeflate backend's is in inflate_libdeflate.h). The same walk made
// plainly, a bit and a code at a time, is in deflate_check_simple.cpp: this one must give what
// that one gives and ask its policy the same things, which the tests and a fuzz target check.
#include "dzlib/deflate_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace dz {

namespace {

constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kMaxLiteralSymbols = 288;  // literal/length symbols, as the fixed code has them
constexpr unsigned kMaxDistanceSymbols = 32;
// The most index bits of a one-code root table; a code whose codewords are shorter gets fewer,
// and longer codewords go on in sub-tables.
constexpr unsigned kLiteralRootBits = 10;
constexpr unsigned kDistanceRootBits = 8;
// The index bits of the several-code tables.
constexpr unsigned kSeveralCodeBits = 11;
// The steps (each ending before a literal/length code) a block is walked one code per lookup
// before its several-code table is built.
constexpr unsigned kOneCodeSteps = 1024;

constexpr std::uint8_t kLengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint8_t kDistanceExtraBits[30] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                 4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// One entry of a step table: what the walk does at the bit pattern that leads to it. It is
// held in 32 bits, which the walk reads in one load; the accessors give its fields.
class Step {
  public:
    enum Kind : std::uint8_t {
        kCodes,              // take bits(); a literal/length code comes next
        kCodesThenDistance,  // take bits(), which end with a length; a distance code comes next
        kSubTable,           // a longer codeword: look in sub-table subTable()
        kEndOfBlock,         // take bits(), the end-of-block code; the block ends
        kInvalid,            // a pattern no codeword covers, or a symbol zlib refuses
    };

    Step() = default;
    constexpr Step(Kind kind, unsigned bits, unsigned width, unsigned subTable = 0)
        : value_(bits | kind << 8 | width << 16 | subTable << 24) {}

    Kind kind() const { return static_cast<Kind>(value_ >> 8 & 0xff); }
    // kCodes, kCodesThenDistance: the bits the step takes, one or more whole codes, each with
    // its extra bits. Every code but the last lies within the index bits; the last one's extra
    // bits may run past them. At most 11 + 13 bits, or 15 + 13 from a sub-table.
    // kEndOfBlock: the codeword's length. kSubTable: where the sub-table's index bits start.
    unsigned bits() const { return value_ & 0xff; }
    // The index bits the step's codes lie in: bits() without the last code's extra bits; only
    // the building of several-code tables looks at it. kSubTable: the sub-table's index bits.
    unsigned width() const { return value_ >> 16 & 0xff; }
    unsigned subTable() const { return value_ >> 24; }  // kSubTable: which one

    // True for the steps that take codes and go on: kCodes and kCodesThenDistance.
    bool takesCodes() const { return kind() <= kCodesThenDistance; }
    bool distanceNext() const { return kind() == kCodesThenDistance; }

  private:
    std::uint32_t value_;
};
static_assert(sizeof(Step) == 4);

constexpr Step kInvalidStep(Step::kInvalid, 0, 0);

// The one-code step of `symbol`, `length` bits long, in the literal/length or distance code.
Step codeStep(bool distances, unsigned symbol, unsigned length) {
    if (distances) {
        if (symbol >= 30) return kInvalidStep;
        return Step(Step::kCodes, length + kDistanceExtraBits[symbol], length);
    }
    if (symbol < 256) return Step(Step::kCodes, length, length);
    if (symbol == 256) return Step(Step::kEndOfBlock, length, length);
    if (symbol < 286) {
        return Step(Step::kCodesThenDistance, length + kLengthExtraBits[symbol - 257], length);
    }
    return kInvalidStep;
}

using CodeCounts = std::array<std::uint16_t, kMaxCodeBits + 1>;

// Counts the codeword lengths of `n` symbols into `count`. Returns the longest length (0 for an
// empty code), or -1 when zlib's inflate refuses the set: over-subscribed, or incomplete unless
// it is an empty code or a single one-bit codeword (and not the code length code).
int countCode(const std::uint8_t* lengths, unsigned n, bool codeLengthCode, CodeCounts& count) {
    count.fill(0);
    for (unsigned s = 0; s < n; ++s) ++count[lengths[s]];
    unsigned longest = kMaxCodeBits;
    while (longest > 0 && count[longest] == 0) --longest;
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        left = 2 * left - count[len];
        if (left < 0) return -1;
    }
    const bool accepted = left == 0 || (!codeLengthCode && longest <= 1);
    return accepted ? static_cast<int>(longest) : -1;
}

// Calls visit(symbol, length, codeword) for each symbol of the canonical code with the counted
// `lengths`, shortest codewords first, the codeword in the order deflate sends it (its first
// bit lowest). Before the first codeword of each length up to `tableBits` it calls grow(length).
template <typename Grow, typename Visit>
void forEachCodeword(const std::uint8_t* lengths, unsigned n, const CodeCounts& count,
                     unsigned tableBits, Grow grow, Visit visit) {
    std::array<std::uint16_t, kMaxCodeBits + 2> offset{};
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) offset[len + 1] = offset[len] + count[len];
    std::array<std::uint16_t, kMaxLiteralSymbols> sorted;
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

// The sub-tables of a block's two codes. Each holds two or more of the codewords longer than
// its root's index (incomplete codes have none), so there are at most half as many as symbols.
struct SubTables {
    static constexpr unsigned kMaxBits =
        kMaxCodeBits - std::min(kLiteralRootBits, kDistanceRootBits);
    static constexpr unsigned kMaxCount = (kMaxLiteralSymbols + kMaxDistanceSymbols) / 2;

    std::array<Step, kMaxCount << kMaxBits> steps;
    unsigned count = 0;

    // Adds an invalid sub-table of 2^bits entries; returns the kSubTable step that leads to it
    // from a root whose index bits are `rootBits`.
    Step add(unsigned rootBits, unsigned bits) {
        std::fill_n(steps.begin() + (count << kMaxBits), 1u << bits, kInvalidStep);
        const unsigned number = count++;
        return Step(Step::kSubTable, rootBits, bits, number);
    }

    Step* table(const Step& link) { return steps.data() + (link.subTable() << kMaxBits); }

    // The step that the kSubTable step `link` leads to for the codeword in the low bits of
    // `bits` (at least 15 of them, or as many as that codeword has).
    Step lookUp(const Step& link, unsigned bits) const {
        const unsigned index = (bits >> link.bits()) & ((1u << link.width()) - 1);
        return steps[(link.subTable() << kMaxBits) + index];
    }
};

// Fills `root` with the one-code steps of one code (the literal/length or the distance code),
// from `n` code lengths, counted, whose longest is `longest`: the root is indexed by the next
// `rootBits` bits, the longest codeword's length but at most `maxRootBits`, and its entries are
// then repeated up to `indexBits` (at least rootBits) index bits. Codewords longer than rootBits
// go on in sub-tables added to `sub`. Returns rootBits.
unsigned fillRoot(Step* root, unsigned maxRootBits, unsigned indexBits, SubTables& sub,
                  const std::uint8_t* lengths, unsigned n, const CodeCounts& count,
                  unsigned longest, bool distances) {
    const unsigned rootBits = std::min(longest, maxRootBits);
    const unsigned subBits = longest - rootBits;
    // The table grows with the codewords: all of length `len` or less fill one of 2^len
    // entries each, and a copy of those entries fills the next 2^len, where every pattern
    // that starts with one of them leads to it too. Patterns left over stay invalid.
    root[0] = root[1] = kInvalidStep;
    const auto grow = [root](unsigned len) {
        if (len > 1) std::copy_n(root, 1u << (len - 1), root + (1u << (len - 1)));
    };
    const auto visit = [&](unsigned symbol, unsigned len, unsigned codeword) {
        const Step step = codeStep(distances, symbol, len);
        if (len <= rootBits) {
            root[codeword] = step;
            return;
        }
        // No shorter codeword is a prefix of this one, so its root entry is still invalid or
        // already leads to its sub-table.
        Step& link = root[codeword & ((1u << rootBits) - 1)];
        if (link.kind() == Step::kInvalid) link = sub.add(rootBits, subBits);
        Step* const table = sub.table(link);
        for (unsigned j = codeword >> rootBits; j < (1u << subBits); j += 1u << (len - rootBits)) {
            table[j] = step;
        }
    };
    forEachCodeword(lengths, n, count, rootBits, grow, visit);
    for (unsigned len = std::max(rootBits, 1u) + 1; len <= indexBits; ++len) grow(len);
    return rootBits;
}

// The step tables of a block's codes. A walk looks the next step up in `roots` (one code per
// lookup) or `severalCodes`: each holds the literal/length root and the distance root right
// after it, both indexed by the same number of bits.
struct BlockTables {
    SubTables sub;
    unsigned indexBits = 0;  // of `roots`
    std::array<Step, 2u << kLiteralRootBits> roots;
    // Built from `roots` when a block goes on long enough (buildSeveralCodeSteps); valid while
    // `severalBuilt` holds. Its sub-table steps lead to the same sub-tables.
    std::array<Step, 2u << kSeveralCodeBits> severalCodes;
    bool severalBuilt = false;

    const Step* distanceRoot() const { return roots.data() + (1u << indexBits); }

    // Builds `roots` from the counted literal/length and distance code lengths.
    void fill(const std::uint8_t* literalLengths, unsigned literalCount,
              const CodeCounts& literalCounts, unsigned literalLongest,
              const std::uint8_t* distanceLengths, unsigned distanceCount,
              const CodeCounts& distanceCounts, unsigned distanceLongest) {
        sub.count = 0;
        indexBits = std::max(std::min(literalLongest, kLiteralRootBits),
                             std::min(distanceLongest, kDistanceRootBits));
        fillRoot(roots.data(), kLiteralRootBits, indexBits, sub, literalLengths, literalCount,
                 literalCounts, literalLongest, /*distances=*/false);
        fillRoot(roots.data() + (1u << indexBits), kDistanceRootBits, indexBits, sub,
                 distanceLengths, distanceCount, distanceCounts, distanceLongest,
                 /*distances=*/true);
        severalBuilt = false;
    }
};

// The one-code literal/length step for the bit pattern `j` of kSeveralCodeBits bits: from the
// root, or from a sub-table when the codeword lies within those bits; else the root's kSubTable
// step, which the walk follows with the bits it has.
Step oneCodeStep(const BlockTables& tables, unsigned j) {
    const Step step = tables.roots[j & ((1u << tables.indexBits) - 1)];
    if (step.kind() != Step::kSubTable) return step;
    const Step inSub = tables.sub.lookUp(step, j);
    return inSub.kind() != Step::kInvalid && inSub.width() <= kSeveralCodeBits ? inSub : step;
}

// Builds tables.severalCodes. Its distance root is the one-code one, repeated to
// kSeveralCodeBits index bits. Its literal/length step at index j starts with the one-code step
// there; when that takes codes and leaves index bits unused, it goes on with the step that the
// bits above them begin, at k = j >> first.bits(): after a length, the distance code's one-code
// step; else the several-code step at k (built already, as k < j, but for j = 0, which goes on
// with its own first code), or the one-code step at k when that one does not fit. It goes on
// only with codes that lie within the index bits left.
void buildSeveralCodeSteps(BlockTables& tables) {
    Step* const steps = tables.severalCodes.data();
    Step* const distanceRoot = steps + (1u << kSeveralCodeBits);
    const unsigned oneCodeSize = 1u << tables.indexBits;
    std::copy_n(tables.distanceRoot(), oneCodeSize, distanceRoot);
    for (unsigned size = oneCodeSize; size < (1u << kSeveralCodeBits); size *= 2) {
        std::copy_n(distanceRoot, size, distanceRoot + size);
    }
    for (unsigned j = 0; j < (1u << kSeveralCodeBits); ++j) {
        const Step first = oneCodeStep(tables, j);
        steps[j] = first;
        if (!first.takesCodes() || first.bits() >= kSeveralCodeBits) continue;
        const unsigned room = kSeveralCodeBits - first.bits();
        const unsigned k = j >> first.bits();
        const auto fits = [room](const Step& next) {
            return next.takesCodes() && next.width() <= room;
        };
        Step next = first.distanceNext() ? distanceRoot[k] : steps[k];
        if (!first.distanceNext() && !fits(next)) next = oneCodeStep(tables, k);
        if (!fits(next)) continue;
        steps[j] = Step(next.kind(), first.bits() + next.bits(), first.bits() + next.width());
    }
    tables.severalBuilt = true;
}

// The code length code, in one table indexed by the next 7 bits.
struct LengthCodeStep {
    std::uint8_t symbol;
    std::uint8_t bits;  // the codeword's length; 0 for a pattern no codeword covers
};
constexpr unsigned kLengthCodeBits = 7;
using LengthCodeTable = std::array<LengthCodeStep, 1u << kLengthCodeBits>;

// Builds the code length code's table from the lengths of its 19 symbols. Returns false when
// zlib's inflate refuses the code (see countCode).
bool buildLengthCode(LengthCodeTable& table, const std::uint8_t* lengths) {
    CodeCounts count;
    if (countCode(lengths, 19, /*codeLengthCode=*/true, count) < 0) return false;
    table.fill({0, 0});
    const auto visit = [&](unsigned symbol, unsigned len, unsigned codeword) {
        for (unsigned j = codeword; j < table.size(); j += 1u << len) {
            table[j] = {static_cast<std::uint8_t>(symbol), static_cast<std::uint8_t>(len)};
        }
    };
    const auto noGrow = [](unsigned) {};
    forEachCodeword(lengths, 19, count, /*tableBits=*/0, noGrow, visit);
    return true;
}

// Reads a deflate stream's bits, least significant first, from a 64-bit buffer.
class BitReader {
  public:
    BitReader(const std::uint8_t* data, std::size_t size)
        : begin_(data), next_(data), end_(data + size) {}

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

    // Removes the next `n` bits (no more than are buffered). A 64-bit shift on x86 reads its
    // count modulo 64 anyway, so the shift needs no separate masking there.
    void skip(unsigned n) {
        bits_ >>= n & 63;
        count_ -= n;
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

    // The bits taken from the start of the data (zero bytes past its end counted too).
    std::size_t bitsTaken() const {
        return (static_cast<std::size_t>(next_ - begin_) + overrun_) * 8 - count_;
    }

    // The byte that holds the bit `bit` bits from the start of the data (past its end, an
    // address the reader never reads).
    const std::uint8_t* at(std::size_t bit) const { return begin_ + bit / 8; }

    // Goes on as if the data ended at `end` (at or after the byte being read), with the bits
    // taken so far still taken.
    void setEnd(const std::uint8_t* end) {
        const std::size_t taken = bitsTaken();
        restartAt(begin_ + taken / 8);
        end_ = end;
        refill();
        take(static_cast<unsigned>(taken % 8));
    }

  private:
    const std::uint8_t* begin_;
    const std::uint8_t* next_;
    const std::uint8_t* end_;
    std::uint64_t bits_ = 0;
    unsigned count_ = 0;
    std::size_t overrun_ = 0;
};

// How a walk through a block's codes stopped.
enum class WalkEnd {
    kEndOfBlock,  // at the end-of-block code, taken
    kRefused,     // at a code zlib refuses, or past the end of the data
    kStepsSpent,  // after the steps it was given, with a literal/length code next
};

// Walks a block's codes from a literal/length code on, in `roots` (a literal/length root and the
// distance root after it, `indexBits` index bits each) and the block's sub-tables. With
// kCounted, it stops after `maxSteps` steps that end with a literal/length code next.
template <bool kCounted>
WalkEnd walkCodes(BitReader& reader, const Step* roots, unsigned indexBits, const SubTables& sub,
                  unsigned maxSteps) {
    BitReader in = reader;  // a local copy stays in registers
    const unsigned mask = (1u << indexBits) - 1;
    const Step* const literalRoot = roots;
    const Step* const distanceRoot = roots + (1u << indexBits);
    // Each step starts with at least 56 bits buffered and takes at most 28, so the next step's
    // index is read before the refill that follows, which is then not on the way from one
    // table read to the next.
    const auto walk = [&]() {
        if (!in.refill()) return WalkEnd::kRefused;
        const Step* root = literalRoot;
        unsigned index = in.peek(mask);
        unsigned stepsLeft = maxSteps;
        for (;;) {
            Step step = root[index];
            if (!step.takesCodes()) {
                if (step.kind() == Step::kSubTable) {
                    step = sub.lookUp(step, in.peek((1u << kMaxCodeBits) - 1));
                }
                if (step.kind() == Step::kEndOfBlock) {
                    in.skip(step.bits());
                    return WalkEnd::kEndOfBlock;
                }
                if (!step.takesCodes()) return WalkEnd::kRefused;
            }
            in.skip(step.bits());
            root = step.distanceNext() ? distanceRoot : literalRoot;
            index = in.peek(mask);
            if (!in.refill()) return WalkEnd::kRefused;
            if constexpr (kCounted) {
                if (!step.distanceNext() && --stepsLeft == 0) return WalkEnd::kStepsSpent;
            }
        }
    };
    const WalkEnd end = walk();
    reader = in;
    return end;
}

// The tables a walk builds its codes in, kept from one call to the next.
struct CodeTables {
    LengthCodeTable lengthCode;
    BlockTables block;
    // The code lengths `block` was last built from (literal count, distance count, lengths);
    // a block with the same ones needs no new tables. A count of 0 matches no block.
    unsigned builtLiteralCount = 0;
    unsigned builtDistanceCount = 0;
    std::array<std::uint8_t, 320> builtLengths;
};

// Reads a deflate stream's block headers and codes, without producing output, and refuses
// what zlib's inflate refuses among the streams libdeflate decodes (see deflate_check.h), held
// to a policy (CodeWalkPolicy).
class CodeWalker {
  public:
    CodeWalker(const std::uint8_t* data, std::size_t size, CodeTables& tables,
               CodeWalkPolicy& policy)
        : in_(data, size), dataEnd_(data + size), tables_(tables), policy_(policy) {}

    // kRead when every block reads to its end the way zlib reads it, within the data.
    CodeWalk walk() {
        for (;;) {
            const std::size_t blockStart = in_.bitsTaken();
            in_.refill();
            const unsigned last = in_.take(1);
            const unsigned type = in_.take(2);
            CodeWalk end = CodeWalk::kRefused;
            if (type == 0) {
                end = storedBlock() ? CodeWalk::kRead : CodeWalk::kRefused;
            } else if (type == 1) {
                end = fixedBlock(blockStart);
            } else if (type == 2) {
                end = dynamicBlock(blockStart);
            }
            if (end != CodeWalk::kRead) return end;
            if (last != 0) return in_.pastEnd() ? CodeWalk::kRefused : CodeWalk::kRead;
        }
    }

  private:
    // The fixed codes' tables, with all 288 literal/length and 32 distance symbols, as zlib
    // builds them; their several-code table is built at once.
    struct FixedCodes {
        FixedCodes() {
            std::uint8_t literals[kMaxLiteralSymbols];
            std::memset(literals, 8, 144);
            std::memset(literals + 144, 9, 112);
            std::memset(literals + 256, 7, 24);
            std::memset(literals + 280, 8, 8);
            std::uint8_t distances[kMaxDistanceSymbols];
            std::memset(distances, 5, kMaxDistanceSymbols);
            CodeCounts literalCounts;
            CodeCounts distanceCounts;
            const int literalLongest = countCode(literals, kMaxLiteralSymbols,
                                                 /*codeLengthCode=*/false, literalCounts);
            const int distanceLongest = countCode(distances, kMaxDistanceSymbols,
                                                  /*codeLengthCode=*/false, distanceCounts);
            tables.fill(literals, kMaxLiteralSymbols, literalCounts,
                        static_cast<unsigned>(literalLongest), distances, kMaxDistanceSymbols,
                        distanceCounts, static_cast<unsigned>(distanceLongest));
            buildSeveralCodeSteps(tables);
        }
        BlockTables tables;
    };

    // Skips a stored block. Returns false when its length check fails or it runs past the data.
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

    // Reads a fixed block's codes (its header began `blockStart` bits into the data).
    CodeWalk fixedBlock(std::size_t blockStart) {
        static const FixedCodes fixed;
        CodedBlock block;
        block.start = blockStart;
        block.codesStart = in_.bitsTaken();
        return codes(block, [&] { return walkSeveralCodes(fixed.tables); });
    }

    // Reads a dynamic block's code lengths as zlib does, then its codes (the block's header began
    // `blockStart` bits into the data). Refused at a header zlib refuses (see deflate_check.h),
    // at a code it refuses, or past the data. Kept whole: it follows zlib's reading of the header
    // step by step, in zlib's order, so that the two can be read side by side.
    CodeWalk dynamicBlock(std::size_t blockStart) {
        static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};
        in_.refill();
        const unsigned literalCount = in_.take(5) + 257;
        const unsigned distanceCount = in_.take(5) + 1;
        const unsigned lengthCodeCount = in_.take(4) + 4;
        if (literalCount > 286 || distanceCount > 30) return CodeWalk::kRefused;
        std::uint8_t lengths[320] = {};
        for (unsigned i = 0; i < lengthCodeCount; ++i) {
            in_.refill();
            lengths[kOrder[i]] = static_cast<std::uint8_t>(in_.take(3));
        }
        if (!buildLengthCode(tables_.lengthCode, lengths)) return CodeWalk::kRefused;

        const unsigned total = literalCount + distanceCount;
        unsigned have = 0;
        std::memset(lengths, 0, 19);
        while (have < total) {
            in_.refill();
            const LengthCodeStep code = tables_.lengthCode[in_.peek((1u << kLengthCodeBits) - 1)];
            if (code.bits == 0) return CodeWalk::kRefused;
            in_.skip(code.bits);
            if (code.symbol < 16) {
                lengths[have++] = code.symbol;
                continue;
            }
            std::uint8_t repeated = 0;
            unsigned times = 0;
            if (code.symbol == 16) {
                if (have == 0) return CodeWalk::kRefused;
                repeated = lengths[have - 1];
                times = 3 + in_.take(2);
            } else if (code.symbol == 17) {
                times = 3 + in_.take(3);
            } else {
                times = 11 + in_.take(7);
            }
            if (have + times > total) return CodeWalk::kRefused;
            std::memset(lengths + have, repeated, times);
            have += times;
        }
        if (lengths[256] == 0) return CodeWalk::kRefused;

        // The two codes must be ones zlib takes. Lengths the tables were last built from were.
        CodeTables& t = tables_;
        const bool built = literalCount == t.builtLiteralCount &&
                           distanceCount == t.builtDistanceCount &&
                           std::memcmp(lengths, t.builtLengths.data(), total) == 0;
        CodeCounts literalCounts;
        CodeCounts distanceCounts;
        int literalLongest = 0;
        int distanceLongest = 0;
        if (!built) {
            literalLongest =
                countCode(lengths, literalCount, /*codeLengthCode=*/false, literalCounts);
            distanceLongest = countCode(lengths + literalCount, distanceCount,
                                        /*codeLengthCode=*/false, distanceCounts);
            if (literalLongest < 0 || distanceLongest < 0) return CodeWalk::kRefused;
        }
        // The header read zero bytes past the end of the data: the stream is cut short.
        if (in_.pastEnd()) return CodeWalk::kRefused;

        const auto used = [](std::uint8_t length) { return length != 0; };
        CodedBlock block;
        block.dynamic = true;
        block.literalsOnly = std::none_of(lengths + 257, lengths + literalCount, used);
        block.literalCodewords =
            static_cast<unsigned>(std::count_if(lengths, lengths + literalCount, used));
        block.start = blockStart;
        block.codesStart = in_.bitsTaken();
        if (policy_.stopBefore(block)) return CodeWalk::kStopped;

        if (!built) {
            t.builtLiteralCount = 0;  // while the tables are half built
            t.block.fill(lengths, literalCount, literalCounts,
                         static_cast<unsigned>(literalLongest), lengths + literalCount,
                         distanceCount, distanceCounts, static_cast<unsigned>(distanceLongest));
            t.builtLiteralCount = literalCount;
            t.builtDistanceCount = distanceCount;
            std::memcpy(t.builtLengths.data(), lengths, total);
        }
        const auto walkBlock = [&] { return walkBlockCodes(); };
        return codes(block, walkBlock, /*asked=*/true);
    }

    // Walks a dynamic block's codes, from its first literal/length code on, in tables_.block.
    // Returns false at a code zlib refuses or past the data.
    bool walkBlockCodes() {
        BlockTables& block = tables_.block;
        if (block.severalBuilt) return walkSeveralCodes(block);
        // A short block ends within its one-code steps; a long one goes on in several-code ones.
        const WalkEnd end = walkCodes</*kCounted=*/true>(in_, block.roots.data(), block.indexBits,
                                                         block.sub, kOneCodeSteps);
        if (end != WalkEnd::kStepsSpent) return end == WalkEnd::kEndOfBlock;
        buildSeveralCodeSteps(block);
        return walkSeveralCodes(block);
    }

    // Walks the rest of a block's codes, from a literal/length code on, in its several-code
    // table. Returns false at a code zlib refuses or past the data.
    bool walkSeveralCodes(const BlockTables& tables) {
        return walkCodes</*kCounted=*/false>(in_, tables.severalCodes.data(), kSeveralCodeBits,
                                             tables.sub, 0) == WalkEnd::kEndOfBlock;
    }

    // Asks the policy about `block` (unless `asked` already) and walks its codes with
    // walkBlock() (true when they end well) within the bits the policy allows.
    //
    // The walk reads no further than those bits reach: a policy that allows few (an output
    // with little room) keeps the walk short even over data far longer than the stream (a
    // sub-file's unread rest is zeros). Codes that run past them are refused, whether the walk
    // stops at the narrowed end or reads its end-of-block code just past it.
    template <typename Walk>
    CodeWalk codes(CodedBlock& block, Walk walkBlock, bool asked = false) {
        // The header read zero bytes past the end of the data: the stream is cut short.
        if (in_.pastEnd()) return CodeWalk::kRefused;
        if (!asked && policy_.stopBefore(block)) return CodeWalk::kStopped;
        const std::size_t allowed = policy_.codeBitsAllowed();
        const std::size_t start = block.codesStart;
        // The bytes the codes may reach into, from the one that holds their first bit (none
        // when they would start right at the end of the data).
        const std::size_t dataLeft = static_cast<std::size_t>(dataEnd_ - in_.at(start));
        const std::size_t reach = allowed / 8 + (allowed % 8 + start % 8 + 7) / 8;
        const bool narrowed = reach < dataLeft;
        if (narrowed) in_.setEnd(in_.at(start) + reach);
        // pastEnd() here counts from the narrowed end, before the reader goes on to the real
        // one: codes that took bits past it take more than allowed.
        if (!walkBlock() || in_.pastEnd()) return CodeWalk::kRefused;
        if (narrowed) in_.setEnd(dataEnd_);
        block.end = in_.bitsTaken();
        if (block.end - start > allowed) return CodeWalk::kRefused;
        policy_.blockEnded(block);
        return CodeWalk::kRead;
    }

    BitReader in_;
    const std::uint8_t* dataEnd_;
    CodeTables& tables_;
    CodeWalkPolicy& policy_;
};

}  // namespace

bool zlibReadsDeflateCodes(const std::uint8_t* data, std::size_t size) {
    WholeStreamPolicy whole;
    return walkDeflateCodes(data, size, whole) == CodeWalk::kRead;
}

CodeWalk walkDeflateCodes(const std::uint8_t* data, std::size_t size, CodeWalkPolicy& policy) {
    // The tables are large; they are kept from one call to the next, one set for each thread.
    thread_local CodeTables tables;
    CodeWalker walker(data, size, tables, policy);
    return walker.walk();
}

}  // namespace dz
