// MD5 of four streams side by side in the four 32-bit lanes of SSE2 registers: each step of the
// block is done once for all four. SSE2 has no rotation, so it is two shifts and an or.
#include "digest/md5_lane_kernels.h"

#if KESTRIX_MD5_SSE2_KERNEL

#include <emmintrin.h>

#include "digest/md5_steps.h"

namespace digest::lanes {
namespace {

using Vector = __m128i;

template <int shift>
inline Vector rotate(Vector x) {
    return _mm_or_si128(_mm_slli_epi32(x, shift), _mm_srli_epi32(x, 32 - shift));
}

inline Vector add(Vector a, Vector b) {
    return _mm_add_epi32(a, b);
}

// The round functions as in md5.cpp: G adds its two terms separately, I takes ~d as d ^ ~0.
inline Vector roundF(Vector b, Vector c, Vector d) {
    return _mm_xor_si128(d, _mm_and_si128(b, _mm_xor_si128(c, d)));
}
inline Vector roundG(Vector b, Vector c, Vector d) {
    return add(_mm_andnot_si128(d, c), _mm_and_si128(b, d));
}
inline Vector roundH(Vector b, Vector c, Vector d) {
    return _mm_xor_si128(_mm_xor_si128(b, c), d);
}
inline Vector roundI(Vector b, Vector c, Vector d) {
    return _mm_xor_si128(c, _mm_or_si128(b, _mm_xor_si128(d, _mm_set1_epi32(-1))));
}

// Word i of the four lanes' blocks into m[i], one lane an element: each lane's block is read
// 16 bytes at a time and the 4 x 4 words transposed.
inline void loadMessage(Vector m[16], const std::uint8_t* const p[4]) {
    for (int group = 0; group < 4; ++group) {
        const int at = 16 * group;
        const Vector r0 = _mm_loadu_si128(reinterpret_cast<const Vector*>(p[0] + at));
        const Vector r1 = _mm_loadu_si128(reinterpret_cast<const Vector*>(p[1] + at));
        const Vector r2 = _mm_loadu_si128(reinterpret_cast<const Vector*>(p[2] + at));
        const Vector r3 = _mm_loadu_si128(reinterpret_cast<const Vector*>(p[3] + at));
        const Vector low01 = _mm_unpacklo_epi32(r0, r1);   // r0[0] r1[0] r0[1] r1[1]
        const Vector low23 = _mm_unpacklo_epi32(r2, r3);   // r2[0] r3[0] r2[1] r3[1]
        const Vector high01 = _mm_unpackhi_epi32(r0, r1);  // r0[2] r1[2] r0[3] r1[3]
        const Vector high23 = _mm_unpackhi_epi32(r2, r3);  // r2[2] r3[2] r2[3] r3[3]
        m[4 * group + 0] = _mm_unpacklo_epi64(low01, low23);
        m[4 * group + 1] = _mm_unpackhi_epi64(low01, low23);
        m[4 * group + 2] = _mm_unpacklo_epi64(high01, high23);
        m[4 * group + 3] = _mm_unpackhi_epi64(high01, high23);
    }
}

// One step for all lanes; the message word and the constant are added first, off the chain
// of dependent results.
#define KESTRIX_MD5_LANE_STEP(f, a, b, c, d, i, s, k)                                   \
    a = add(a, add(add(m[i], _mm_set1_epi32(static_cast<int>(k))), round##f(b, c, d))); \
    a = add(rotate<s>(a), b);

}  // namespace

void compressFourLanes(std::uint32_t* const words[4], const std::uint8_t* const bytes[4],
                       std::size_t count) {
    Vector a = _mm_setr_epi32(static_cast<int>(words[0][0]), static_cast<int>(words[1][0]),
                              static_cast<int>(words[2][0]), static_cast<int>(words[3][0]));
    Vector b = _mm_setr_epi32(static_cast<int>(words[0][1]), static_cast<int>(words[1][1]),
                              static_cast<int>(words[2][1]), static_cast<int>(words[3][1]));
    Vector c = _mm_setr_epi32(static_cast<int>(words[0][2]), static_cast<int>(words[1][2]),
                              static_cast<int>(words[2][2]), static_cast<int>(words[3][2]));
    Vector d = _mm_setr_epi32(static_cast<int>(words[0][3]), static_cast<int>(words[1][3]),
                              static_cast<int>(words[2][3]), static_cast<int>(words[3][3]));
    const std::uint8_t* p[4] = {bytes[0], bytes[1], bytes[2], bytes[3]};

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

    // Back from one vector a state word to one state a lane.
    alignas(16) std::uint32_t out[4][4];
    _mm_store_si128(reinterpret_cast<Vector*>(out[0]), a);
    _mm_store_si128(reinterpret_cast<Vector*>(out[1]), b);
    _mm_store_si128(reinterpret_cast<Vector*>(out[2]), c);
    _mm_store_si128(reinterpret_cast<Vector*>(out[3]), d);
    for (int lane = 0; lane < 4; ++lane) {
        for (int word = 0; word < 4; ++word) words[lane][word] = out[word][lane];
    }
}

#undef KESTRIX_MD5_LANE_STEP
#undef KESTRIX_MD5_STEPS

}  // namespace digest::lanes

#endif
