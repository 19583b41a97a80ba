// MD5 (RFC 1321). This is the hot loop of the whole program: every byte of every sub-file
// passes through compressBlocks, so the round function is written to stay in registers.
#include "digest/md5.h"

#include <bit>
#include <cstring>

#include "digest/md5_steps.h"

namespace digest {
namespace {

// Loads the little-endian 32-bit word at p. memcpy keeps unaligned input well defined; the
// compiler turns it into a single load on little-endian targets.
inline std::uint32_t loadLittle32(const std::uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    } else {
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    }
}

inline void storeLittle32(std::uint8_t* p, std::uint32_t word) {
    p[0] = static_cast<std::uint8_t>(word);
    p[1] = static_cast<std::uint8_t>(word >> 8);
    p[2] = static_cast<std::uint8_t>(word >> 16);
    p[3] = static_cast<std::uint8_t>(word >> 24);
}

inline void storeLittle64(std::uint8_t* p, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The four round functions, each in the form that needs the fewest dependent operations:
//   F: (b & c) | (~b & d)  ==  d ^ (b & (c ^ d))
//   G: (b & d) | (c & ~d)  -- the two terms never share a set bit, so they are added to `a`
//                             separately and both additions run in parallel with the rest
//   H: b ^ c ^ d
//   I: c ^ (b | ~d)
// Every shift count is a constant between 4 and 23, so the rotation is always well defined
// and compiles to a single rol.
#define KESTRIX_MD5_ROTATE(x, s) (((x) << (s)) | ((x) >> (32 - (s))))

#define KESTRIX_MD5_F(a, b, c, d, m, s, k)              \
    do {                                                \
        (a) += (m) + (k) + ((d) ^ ((b) & ((c) ^ (d)))); \
        (a) = KESTRIX_MD5_ROTATE((a), s) + (b);         \
    } while (0)

#define KESTRIX_MD5_G(a, b, c, d, m, s, k)      \
    do {                                        \
        (a) += (m) + (k) + ((c) & ~(d));        \
        (a) += (b) & (d);                       \
        (a) = KESTRIX_MD5_ROTATE((a), s) + (b); \
    } while (0)

#define KESTRIX_MD5_H(a, b, c, d, m, s, k)      \
    do {                                        \
        (a) += (m) + (k) + ((b) ^ (c) ^ (d));   \
        (a) = KESTRIX_MD5_ROTATE((a), s) + (b); \
    } while (0)

#define KESTRIX_MD5_I(a, b, c, d, m, s, k)       \
    do {                                         \
        (a) += (m) + (k) + ((c) ^ ((b) | ~(d))); \
        (a) = KESTRIX_MD5_ROTATE((a), s) + (b);  \
    } while (0)

// One step on one block: the message words are m0 to m15.
#define KESTRIX_MD5_ONE(f, a, b, c, d, i, s, k) KESTRIX_MD5_##f(a, b, c, d, m##i, s, k);

// Runs the compression function over `count` whole 64-byte blocks read straight from `p`.
void compressBlocks(std::uint32_t words[4], const std::uint8_t* p, std::size_t count) {
    std::uint32_t a = words[0];
    std::uint32_t b = words[1];
    std::uint32_t c = words[2];
    std::uint32_t d = words[3];

    for (; count != 0; --count, p += 64) {
        const std::uint32_t m0 = loadLittle32(p + 0);
        const std::uint32_t m1 = loadLittle32(p + 4);
        const std::uint32_t m2 = loadLittle32(p + 8);
        const std::uint32_t m3 = loadLittle32(p + 12);
        const std::uint32_t m4 = loadLittle32(p + 16);
        const std::uint32_t m5 = loadLittle32(p + 20);
        const std::uint32_t m6 = loadLittle32(p + 24);
        const std::uint32_t m7 = loadLittle32(p + 28);
        const std::uint32_t m8 = loadLittle32(p + 32);
        const std::uint32_t m9 = loadLittle32(p + 36);
        const std::uint32_t m10 = loadLittle32(p + 40);
        const std::uint32_t m11 = loadLittle32(p + 44);
        const std::uint32_t m12 = loadLittle32(p + 48);
        const std::uint32_t m13 = loadLittle32(p + 52);
        const std::uint32_t m14 = loadLittle32(p + 56);
        const std::uint32_t m15 = loadLittle32(p + 60);

        const std::uint32_t a0 = a;
        const std::uint32_t b0 = b;
        const std::uint32_t c0 = c;
        const std::uint32_t d0 = d;
        KESTRIX_MD5_STEPS(KESTRIX_MD5_ONE)
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }

    words[0] = a;
    words[1] = b;
    words[2] = c;
    words[3] = d;
}

// One step on two blocks at once, one of each stream (state words a1.. and a2..): the eight
// state words stay in registers, and the message words are read where they are used.
#define KESTRIX_MD5_TWO(f, a, b, c, d, i, s, k)                                \
    KESTRIX_MD5_##f(a##1, b##1, c##1, d##1, loadLittle32(p1 + 4 * (i)), s, k); \
    KESTRIX_MD5_##f(a##2, b##2, c##2, d##2, loadLittle32(p2 + 4 * (i)), s, k);

// compressBlocks on two streams side by side: the steps of one fill the time the other waits
// for its last result, so two streams take little more time than one.
void compressBlocksSideBySide(std::uint32_t words1[4], const std::uint8_t* p1,
                              std::uint32_t words2[4], const std::uint8_t* p2, std::size_t count) {
    std::uint32_t a1 = words1[0], b1 = words1[1], c1 = words1[2], d1 = words1[3];
    std::uint32_t a2 = words2[0], b2 = words2[1], c2 = words2[2], d2 = words2[3];

    for (; count != 0; --count, p1 += 64, p2 += 64) {
        const std::uint32_t a10 = a1, b10 = b1, c10 = c1, d10 = d1;
        const std::uint32_t a20 = a2, b20 = b2, c20 = c2, d20 = d2;
        KESTRIX_MD5_STEPS(KESTRIX_MD5_TWO)
        a1 += a10;
        b1 += b10;
        c1 += c10;
        d1 += d10;
        a2 += a20;
        b2 += b20;
        c2 += c20;
        d2 += d20;
    }

    words1[0] = a1;
    words1[1] = b1;
    words1[2] = c1;
    words1[3] = d1;
    words2[0] = a2;
    words2[1] = b2;
    words2[2] = c2;
    words2[3] = d2;
}

}  // namespace

void md5Start(Md5State& state) {
    state.words[0] = 0x67452301u;
    state.words[1] = 0xefcdab89u;
    state.words[2] = 0x98badcfeu;
    state.words[3] = 0x10325476u;
    state.length = 0;
}

void md5Add(Md5State& state, const void* bytes, std::size_t length) {
    if (length == 0) {
        return;
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    const std::size_t used = static_cast<std::size_t>(state.length % 64);
    state.length += length;

    // Complete a block begun by an earlier call first.
    if (used != 0) {
        const std::size_t room = 64 - used;
        if (length < room) {
            std::memcpy(state.pending + used, p, length);
            return;
        }
        std::memcpy(state.pending + used, p, room);
        compressBlocks(state.words, state.pending, 1);
        p += room;
        length -= room;
    }

    // Whole blocks straight from the caller's buffer; only the tail is kept.
    const std::size_t blocks = length / 64;
    if (blocks != 0) {
        compressBlocks(state.words, p, blocks);
        p += blocks * 64;
        length -= blocks * 64;
    }
    if (length != 0) {
        std::memcpy(state.pending, p, length);
    }
}

void md5AddSideBySide(Md5State& first, const void* firstBytes, Md5State& second,
                      const void* secondBytes, std::size_t length) {
    // Callers keep to block boundaries; anything else goes the ordinary way.
    if (length % 64 != 0 || first.length % 64 != 0 || second.length % 64 != 0) {
        md5Add(first, firstBytes, length);
        md5Add(second, secondBytes, length);
        return;
    }
    compressBlocksSideBySide(first.words, static_cast<const std::uint8_t*>(firstBytes),
                             second.words, static_cast<const std::uint8_t*>(secondBytes),
                             length / 64);
    first.length += length;
    second.length += length;
}

Digest md5Finish(Md5State& state) {
    // Padding: one 0x80 byte, zeros up to 56 bytes into a block, then the message length in
    // bits as a little-endian 64-bit number (modulo 2^64).
    const std::uint64_t bitLength = state.length * 8;
    std::size_t used = static_cast<std::size_t>(state.length % 64);
    state.pending[used++] = 0x80;
    if (used > 56) {
        std::memset(state.pending + used, 0, 64 - used);
        compressBlocks(state.words, state.pending, 1);
        used = 0;
    }
    std::memset(state.pending + used, 0, 56 - used);
    storeLittle64(state.pending + 56, bitLength);
    compressBlocks(state.words, state.pending, 1);

    Digest out;
    for (int i = 0; i < 4; ++i) {
        storeLittle32(out.data() + 4 * i, state.words[i]);
    }
    return out;
}

Digest md5Digest(const void* bytes, std::size_t length) {
    Md5State state;
    md5Start(state);
    md5Add(state, bytes, length);
    return md5Finish(state);
}

bool digestsEqual(const std::uint8_t* a, const std::uint8_t* b) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Fuzz builds only: any digest matches, so that a fuzzer's inputs reach what the digests
    // guard. The program is never built with this macro.
    (void)a;
    (void)b;
    return true;
#else
    return std::memcmp(a, b, 16) == 0;
#endif
}

#undef KESTRIX_MD5_ROTATE
#undef KESTRIX_MD5_F
#undef KESTRIX_MD5_G
#undef KESTRIX_MD5_H
#undef KESTRIX_MD5_I
#undef KESTRIX_MD5_STEPS
#undef KESTRIX_MD5_ONE
#undef KESTRIX_MD5_TWO

}  // namespace digest
