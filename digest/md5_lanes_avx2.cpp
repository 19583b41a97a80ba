// MD5 of eight streams side by side in the eight 32-bit lanes of AVX2 registers. Every function
// here is compiled for AVX2 by its target attribute alone, so the rest of the program is not;
// md5AddLanes calls in only when the processor runs AVX2.
#include "digest/md5_lane_kernels.h"

#if KESTRIX_MD5_AVX2_KERNEL

#include <immintrin.h>

#include "digest/md5_steps.h"

#define KESTRIX_AVX2 __attribute__((target("avx2")))

namespace digest::lanes {
namespace {

using Vector = __m256i;

template <int shift>
KESTRIX_AVX2 inline Vector rotate(Vector x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, shift), _mm256_srli_epi32(x, 32 - shift));
}

KESTRIX_AVX2 inline Vector add(Vector a, Vector b) {
    return _mm256_add_epi32(a, b);
}

// The round functions as in md5.cpp: G adds its two terms separately, I takes ~d as d ^ ~0.
KESTRIX_AVX2 inline Vector roundF(Vector b, Vector c, Vector d) {
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
KESTRIX_AVX2 inline Vector roundG(Vector b, Vector c, Vector d) {
    return add(_mm256_andnot_si256(d, c), _mm256_and_si256(b, d));
}
KESTRIX_AVX2 inline Vector roundH(Vector b, Vector c, Vector d) {
    return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
}
KESTRIX_AVX2 inline Vector roundI(Vector b, Vector c, Vector d) {
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}

// Lane i's 16 bytes at `at` in the low half, lane i + 4's in the high half.
KESTRIX_AVX2 inline Vector loadPair(const std::uint8_t* const p[8], int i, int at) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[i] + at));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[i + 4] + at));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Word i of the eight lanes' blocks into m[i], one lane an element. The unpack instructions
// work within each 128-bit half, so the 4 x 4 transposition of the SSE2 kernel transposes
// lanes 0-3 in the low half and lanes 4-7 in the high half at once.
KESTRIX_AVX2 inline void loadMessage(Vector m[16], const std::uint8_t* const p[8]) {
    for (int group = 0; group < 4; ++group) {
        const int at = 16 * group;
        const Vector r0 = loadPair(p, 0, at);
        const Vector r1 = loadPair(p, 1, at);
        const Vector r2 = loadPair(p, 2, at);
        const Vector r3 = loadPair(p, 3, at);
        const Vector low01 = _mm256_unpacklo_epi32(r0, r1);
        const Vector low23 = _mm256_unpacklo_epi32(r2, r3);
        const Vector high01 = _mm256_unpackhi_epi32(r0, r1);
        const Vector high23 = _mm256_unpackhi_epi32(r2, r3);
        m[4 * group + 0] = _mm256_unpacklo_epi64(low01, low23);
        m[4 * group + 1] = _mm256_unpackhi_epi64(low01, low23);
        m[4 * group + 2] = _mm256_unpacklo_epi64(high01, high23);
        m[4 * group + 3] = _mm256_unpackhi_epi64(high01, high23);
    }
}

// The state word `word` of the eight lanes, one lane an element.
KESTRIX_AVX2 inline Vector gatherWord(std::uint32_t* const words[8], int word) {
    return _mm256_setr_epi32(static_cast<int>(words[0][word]), static_cast<int>(words[1][word]),
                             static_cast<int>(words[2][word]), static_cast<int>(words[3][word]),
                             static_cast<int>(words[4][word]), static_cast<int>(words[5][word]),
                             static_cast<int>(words[6][word]), static_cast<int>(words[7][word]));
}

KESTRIX_AVX2 inline void scatterWord(std::uint32_t* const words[8], int word, Vector v) {
    std::uint32_t out[8];
    _mm256_storeu_si256(reinterpret_cast<Vector*>(out), v);
    for (int lane = 0; lane < 8; ++lane) words[lane][word] = out[lane];
}

// One step for all lanes; the message word and the constant are added first, off the chain
// of dependent results.
#define KESTRIX_MD5_LANE_STEP(f, a, b, c, d, i, s, k)                                      \
    a = add(a, add(add(m[i], _mm256_set1_epi32(static_cast<int>(k))), round##f(b, c, d))); \
    a = add(rotate<s>(a), b);

}  // namespace

KESTRIX_AVX2 void compressEightLanes(std::uint32_t* const words[8],
                                     const std::uint8_t* const bytes[8], std::size_t count) {
    Vector a = gatherWord(words, 0);
    Vector b = gatherWord(words, 1);
    Vector c = gatherWord(words, 2);
    Vector d = gatherWord(words, 3);
    const std::uint8_t* p[8];
    for (int lane = 0; lane < 8; ++lane) p[lane] = bytes[lane];

    for (; count != 0; --count) {
        Vector m[16];
        loadMessage(m, p);
        for (auto& lane : p) lane += 64;
        const Vector a0 = a, b0 = b, c0 = c, d0 = d;
        KESTRIX_MD5_STEPS(KESTRIX_MD5_LANE_STEP)
        a = add(a, a0);
        b = add(b, b0);
        c = add(c, c0);
        d = add(d, d0);
    }

    scatterWord(words, 0, a);
    scatterWord(words, 1, b);
    scatterWord(words, 2, c);
    scatterWord(words, 3, d);
}

#undef KESTRIX_MD5_LANE_STEP
#undef KESTRIX_MD5_STEPS
#undef KESTRIX_AVX2

}  // namespace digest::lanes

#endif
