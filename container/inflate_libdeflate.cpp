// The libdeflate backend: libdeflate's one-shot decompressors, held to exactly the streams the
// zlib backend accepts and refuses.
//
// libdeflate 1.14 differs from zlib's inflate in a few places, all of them streams that zlib
// refuses and libdeflate decodes:
//  - it does not check a gzip header's own CRC (FHCRC); gzipHeaderLength checks it;
//  - it accepts 287 or 288 literal/length codes or 31 or 32 distance codes in a dynamic block
//    header, and a code length repeat that runs past the end of the list;
//  - it decodes length symbols 286 and 287 (as 258) and distance symbols 30 and 31 in fixed
//    blocks;
//  - it decodes a match in a block whose distance code is empty, and the unused '1' pattern of
//    a literal/length or distance code that has a single one-bit codeword.
// The deflate ones can only be found by reading the stream's codes, so after libdeflate has
// decoded a stream, CodeWalker reads its codes once more without producing output and refuses
// on the first of them. The walk skips stored data and long matches quickly but costs about as
// much as libdeflate's own decoding where literals and short matches dominate. Everything else,
// including the wrapper (header check bits, method, window size, preset dictionary, reserved
// gzip flags, CRC32, ISIZE, Adler-32), libdeflate already accepts and refuses as zlib does.
#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "container/inflate.h"

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
// what zlib's inflate refuses among the streams libdeflate decodes (see the top of this file).
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

// Returns the length of the gzip header at `data`, or 0 when it runs past `size` or its own
// CRC (FHCRC), the low 16 bits of the CRC-32 of the bytes before it, does not match.
std::size_t gzipHeaderLength(const std::uint8_t* data, std::size_t size) {
    if (size < 10) return 0;
    const unsigned flags = data[3];
    std::size_t at = 10;
    if ((flags & 0x04) != 0) {  // FEXTRA: a two-byte length and that many bytes
        if (size - at < 2) return 0;
        const std::size_t extraLength = data[at] | data[at + 1] << 8;
        at += 2;
        if (size - at < extraLength) return 0;
        at += extraLength;
    }
    for (unsigned flag : {0x08u, 0x10u}) {  // FNAME, FCOMMENT: zero-terminated
        if ((flags & flag) == 0) continue;
        const void* zero = std::memchr(data + at, 0, size - at);
        if (zero == nullptr) return 0;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data) + 1;
    }
    if ((flags & 0x02) != 0) {  // FHCRC
        if (size - at < 2) return 0;
        const std::uint32_t crc = libdeflate_crc32(0, data, at);
        if ((crc & 0xffffu) != (data[at] | static_cast<unsigned>(data[at + 1]) << 8)) return 0;
        at += 2;
    }
    return at;
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// What each call needs besides its buffers: allocated once per thread (a decompressor must not
// be shared between threads) and freed when the thread or the program ends.
struct Workspace {
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor;
    CodeTables tables;
};

// This thread's workspace, allocated on first use; null when memory runs out.
Workspace* workspace() {
    thread_local std::unique_ptr<Workspace> held;
    if (held == nullptr) {
        std::unique_ptr<Workspace> fresh(new (std::nothrow) Workspace);
        if (fresh == nullptr) return nullptr;
        fresh->decompressor.reset(libdeflate_alloc_decompressor());
        if (fresh->decompressor == nullptr) return nullptr;
        held = std::move(fresh);
    }
    return held.get();
}

}  // namespace

// Inflates `packed` into `output` in one call; accepts and refuses exactly as inflateWithZlib.
bool inflateWithLibdeflate(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                           std::size_t outputSize, std::size_t& unpackedLength) {
    // The zlib backend counts in 32 bits and refuses larger sizes; so does this one.
    if (packedSize > UINT32_MAX || outputSize > UINT32_MAX) return false;
    if ((packed == nullptr && packedSize != 0) || (output == nullptr && outputSize != 0)) {
        return false;
    }
    // zlib needs two bytes to tell the wrappers apart; fewer can never be a whole stream.
    if (packedSize < 2) return false;
    Workspace* const work = workspace();
    if (work == nullptr) return false;
    libdeflate_decompressor* const d = work->decompressor.get();
    std::uint8_t noRoom = 0;
    void* const out = output != nullptr ? output : &noRoom;

    // As zlib detects it: gzip when the data starts with 1f 8b, a zlib header otherwise.
    const bool gzip = packed[0] == 0x1f && packed[1] == 0x8b;
    std::size_t usedIn = 0;
    std::size_t usedOut = 0;
    const libdeflate_result result =
        gzip ? libdeflate_gzip_decompress_ex(d, packed, packedSize, out, outputSize, &usedIn,
                                             &usedOut)
             : libdeflate_zlib_decompress_ex(d, packed, packedSize, out, outputSize, &usedIn,
                                             &usedOut);
    if (result != LIBDEFLATE_SUCCESS) return false;

    // The deflate data lies between the header and the trailer (CRC32 and ISIZE, or Adler-32).
    std::size_t headerLength = 2;
    std::size_t trailerLength = 4;
    if (gzip) {
        headerLength = gzipHeaderLength(packed, usedIn);
        trailerLength = 8;
        if (headerLength == 0) return false;
    }
    if (usedIn < headerLength + trailerLength) return false;
    CodeWalker walker(packed + headerLength, usedIn - headerLength - trailerLength, work->tables);
    if (!walker.walk()) return false;
    unpackedLength = usedOut;
    return true;
}

}  // namespace container
