// md5AddMany and md5AddLanes: streams into lanes and out again as each is done, their heads and
// tails off a block boundary through md5Add alone. Which code runs the lanes is chosen in
// md5_lane_choice.cpp; the vector kernels are md5_lanes_sse2.cpp and md5_lanes_avx2.cpp.
#include "digest/md5_lanes.h"

#include <algorithm>

#include "digest/md5_lane_choice.h"
#include "digest/md5_lane_kernels.h"
#include "digest/processor_features.h"

namespace digest {
namespace {

using lanes::Pass;

constexpr std::size_t kMaxLanes = 8;
constexpr std::size_t kBlock = 64;

// A stream in lanes: its state at a block boundary, its next whole block, how many whole blocks
// it has left, and the bytes after them, fewer than a block.
struct Lane {
    Md5State* state;
    const std::uint8_t* bytes;
    std::size_t blocks;
    std::size_t tail;
};

// Runs `kernel` over `blocks` blocks of the first `n` lanes of `width`; the lanes beyond `n`
// read the first lane's bytes into words of their own, which are then dropped.
template <std::size_t width, typename Kernel>
void runKernel(Kernel kernel, const Lane* streams, std::size_t n, std::size_t blocks) {
    std::uint32_t unused[width][4] = {};
    std::uint32_t* words[width];
    const std::uint8_t* bytes[width];
    for (std::size_t i = 0; i < width; ++i) {
        words[i] = i < n ? streams[i].state->words : unused[i];
        bytes[i] = i < n ? streams[i].bytes : streams[0].bytes;
    }
    kernel(words, bytes, blocks);
    // md5Add and md5AddSideBySide count the bytes they add; the kernels leave that to here.
    for (std::size_t i = 0; i < n; ++i) streams[i].state->length += blocks * kBlock;
}

// Adds `blocks` whole blocks to each of the `n` lanes' states, `n` at most kMaxLanes.
void addBlocks(Lane* streams, std::size_t n, std::size_t blocks, Md5Lanes widest, bool automatic) {
    for (std::size_t done = 0; done < n;) {
        const Pass pass = lanes::nextPass(n - done, widest, automatic);
        Lane* first = streams + done;
        switch (pass.code) {
#if KESTRIX_MD5_AVX2_KERNEL
            case Pass::eight:
                runKernel<8>(lanes::compressEightLanes, first, pass.streams, blocks);
                break;
#endif
#if KESTRIX_MD5_SSE2_KERNEL
            case Pass::four:
                runKernel<4>(lanes::compressFourLanes, first, pass.streams, blocks);
                break;
#endif
            case Pass::two:
                md5AddSideBySide(*first[0].state, first[0].bytes, *first[1].state, first[1].bytes,
                                 blocks * kBlock);
                break;
            case Pass::one:
                md5Add(*first[0].state, first[0].bytes, blocks * kBlock);
                break;
            default:  // a kernel not built for this processor, which runnable() never gives
                break;
        }
        done += pass.streams;
    }
}

}  // namespace

unsigned md5LaneCount() {
    switch (lanes::runnable(Md5Lanes::automatic, processorHasAvx2())) {
        case Md5Lanes::avx2:
            return 8;
        case Md5Lanes::sse2:
            return 4;
        default:
            return 2;
    }
}

void md5AddMany(const Md5Job jobs[], std::size_t count, Md5Lanes lanes) {
    const Md5Lanes widest = lanes::runnable(lanes, processorHasAvx2());
    const bool automatic = lanes == Md5Lanes::automatic;
    Lane active[kMaxLanes];
    std::size_t n = 0;
    std::size_t next = 0;
    for (;;) {
        // The next jobs into the free lanes, each brought to a block boundary first; a job
        // with no whole block left is done with md5Add alone.
        while (n < kMaxLanes && next < count) {
            const Md5Job& job = jobs[next++];
            const std::size_t used = static_cast<std::size_t>(job.state->length % kBlock);
            const std::size_t head = std::min(job.length, used == 0 ? 0 : kBlock - used);
            md5Add(*job.state, job.bytes, head);
            const std::size_t rest = job.length - head;
            const Lane lane{job.state, job.bytes + head, rest / kBlock, rest % kBlock};
            if (lane.blocks == 0) {
                md5Add(*lane.state, lane.bytes, lane.tail);
            } else {
                active[n++] = lane;
            }
        }
        if (n == 0) return;

        // All lanes as far as the shortest goes; those done leave with their tails.
        std::size_t blocks = active[0].blocks;
        for (std::size_t i = 1; i < n; ++i) blocks = std::min(blocks, active[i].blocks);
        addBlocks(active, n, blocks, widest, automatic);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            Lane lane = active[i];
            lane.bytes += blocks * kBlock;
            lane.blocks -= blocks;
            if (lane.blocks == 0) {
                md5Add(*lane.state, lane.bytes, lane.tail);
            } else {
                active[kept++] = lane;
            }
        }
        n = kept;
    }
}

void md5AddLanes(Md5State* const states[], const std::uint8_t* const bytes[], std::size_t count,
                 std::size_t length, Md5Lanes lanes) {
    for (std::size_t first = 0; first < count; first += kMaxLanes) {
        Md5Job jobs[kMaxLanes];
        const std::size_t n = std::min(count - first, kMaxLanes);
        for (std::size_t i = 0; i < n; ++i) jobs[i] = {states[first + i], bytes[first + i], length};
        md5AddMany(jobs, n, lanes);
    }
}

}  // namespace digest
