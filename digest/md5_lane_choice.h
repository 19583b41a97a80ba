// Which code md5AddMany runs for how many streams, decided apart from the work, so that a table
// test covers the choice for every kind of processor, whatever processor the test runs on.
#pragma once

#include <cstddef>

#include "digest/md5_lanes.h"

namespace digest::lanes {

// The widest code of those `lanes` allows that this processor runs, avx2, sse2 or plain, given
// whether it runs AVX2 (processorHasAvx2()).
Md5Lanes runnable(Md5Lanes lanes, bool hasAvx2);

// One pass over the next streams: the code, and how many streams it takes.
struct Pass {
    enum Code { one, two, four, eight } code;  // md5Add, md5AddSideBySide, SSE2, AVX2
    std::size_t streams;
};

// The pass for the next `n` streams (n >= 1), given the `widest` code (what runnable() gives).
// When `automatic`, the fastest for n: one, two, four for 3-4, eight for 5 and more. Otherwise
// the widest code even for fewer streams than its lanes, so that tests reach its unused lanes.
Pass nextPass(std::size_t n, Md5Lanes widest, bool automatic);

}  // namespace digest::lanes
