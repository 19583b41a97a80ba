// The choice of code for md5AddMany: what the processor runs, and what is fastest for how many
// streams (bench/md5_bench.cpp measures each case).
#include "digest/md5_lane_choice.h"

#include <algorithm>

#include "digest/md5_lane_kernels.h"

namespace digest::lanes {

Md5Lanes runnable(Md5Lanes lanes, bool hasAvx2) {
    if (lanes == Md5Lanes::automatic || lanes == Md5Lanes::avx2) {
        if (KESTRIX_MD5_AVX2_KERNEL && hasAvx2) return Md5Lanes::avx2;
        lanes = Md5Lanes::sse2;
    }
    if (lanes == Md5Lanes::sse2 && KESTRIX_MD5_SSE2_KERNEL) return Md5Lanes::sse2;
    return Md5Lanes::plain;
}

// Eight AVX2 lanes take as long for 4 streams as for 8, a little longer than four SSE2 lanes
// take for 4; four SSE2 lanes beat pairs side by side from 3 streams on.
Pass nextPass(std::size_t n, Md5Lanes widest, bool automatic) {
    if (widest == Md5Lanes::avx2 && (!automatic || n > 4)) {
        return {Pass::eight, std::min<std::size_t>(n, 8)};
    }
    if (widest != Md5Lanes::plain && (!automatic || n > 2)) {
        return {Pass::four, std::min<std::size_t>(n, 4)};
    }
    return n >= 2 ? Pass{Pass::two, 2} : Pass{Pass::one, 1};
}

}  // namespace digest::lanes
