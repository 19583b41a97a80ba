// MD5 of several streams at once, side by side in the lanes of vector registers: eight with
// AVX2, four with SSE2, chosen at run time; two side by side in plain C++ on other processors.
// Each stream keeps its own Md5State, started and finished as usual (md5.h). Nothing is shared
// between calls, so threads may digest streams of their own at the same time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5.h"

namespace digest {

// Which code digests the streams. `automatic` is the fastest on this processor for the number
// of streams (see md5AddMany). The others force one code, for tests and benchmarks, for every
// number of streams, with lanes left unused when there are fewer: `plain` two streams side by
// side (md5AddSideBySide) and the last alone (md5Add); `sse2` four lanes; `avx2` eight lanes.
// One this processor cannot run falls back to the next narrower: avx2 to sse2 to plain.
enum class Md5Lanes { automatic, plain, sse2, avx2 };

// How many streams digested at once give the most bytes a second on this processor, so the most
// worth having ready: 8 with AVX2, 4 with SSE2 (every x86-64 processor), 2 otherwise.
unsigned md5LaneCount();

// One stream for md5AddMany: `length` bytes at `bytes` to add to `state`.
struct Md5Job {
    Md5State* state;
    const std::uint8_t* bytes;
    std::size_t length;
};

// md5Add of each job's bytes to its state, the same digests as one md5Add a job, faster. No two
// jobs may share a state. Each job's head, up to its state's next block boundary, and its tail
// of less than a block go through md5Add alone; the whole blocks between go in lanes, up to eight
// jobs at a time in the order given: all of them until the shortest is done, then the others in
// fewer lanes, and the next job given takes the freed lane. With `automatic`, n streams in
// lanes take: n = 1 md5Add; 2 md5AddSideBySide; 3-4 four SSE2 lanes; 5-8 eight AVX2 lanes where
// the processor runs AVX2, otherwise four SSE2 lanes and the rest as above; on processors
// without SSE2 (not x86), pairs side by side and the last alone.
void md5AddMany(const Md5Job jobs[], std::size_t count, Md5Lanes lanes = Md5Lanes::automatic);

// md5AddMany of `length` bytes from bytes[i] to states[i], for each i below `count`. Fastest
// when every state stands at a block boundary (its length so far a multiple of 64).
void md5AddLanes(Md5State* const states[], const std::uint8_t* const bytes[], std::size_t count,
                 std::size_t length, Md5Lanes lanes = Md5Lanes::automatic);

}  // namespace digest
