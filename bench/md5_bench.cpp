// Throughput of md5Digest against OpenSSL's MD5 over the same 64 MiB buffer, of two streams
// digested side by side, and of 1 to 8 streams in lanes (each code forced, and the automatic
// choice), the buffer cut into as many streams. After the Google Benchmark runs, they are timed
// again in one interleaved series and the ratios of their best throughputs are printed, so the
// comparison holds up on a noisy machine.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "digest/md5_lanes.h"

namespace {

constexpr std::size_t kBufferSize = 64 * 1024 * 1024;

// A deterministic pseudo-random buffer, built once and shared by every benchmark.
const std::vector<std::uint8_t>& buffer() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> out(kBufferSize);
        std::uint32_t x = 0x9e3779b9u;
        for (auto& byte : out) {
            x = x * 1664525u + 1013904223u;
            byte = static_cast<std::uint8_t>(x >> 24);
        }
        return out;
    }();
    return bytes;
}

digest::Digest kestrixMd5(const std::vector<std::uint8_t>& data) {
    return digest::md5Digest(data.data(), data.size());
}

digest::Digest opensslMd5(const std::vector<std::uint8_t>& data) {
    digest::Digest out{};
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &size, EVP_md5(), nullptr) != 1 ||
        size != out.size()) {
        std::fprintf(stderr, "EVP_Digest failed\n");
        std::abort();
    }
    return out;
}

// The two halves of the buffer as two streams side by side.
digest::Digest sideBySideMd5(const std::vector<std::uint8_t>& data) {
    const std::size_t half = data.size() / 2;
    digest::Md5State first;
    digest::Md5State second;
    digest::md5Start(first);
    digest::md5Start(second);
    digest::md5AddSideBySide(first, data.data(), second, data.data() + half, half);
    digest::Digest out = digest::md5Finish(first);
    const digest::Digest other = digest::md5Finish(second);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] ^= other[i];
    return out;
}

void BM_Md5Digest(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrixMd5(data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_Md5Digest)->Unit(benchmark::kMillisecond);

void BM_Md5SideBySide(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sideBySideMd5(data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_Md5SideBySide)->Unit(benchmark::kMillisecond);

// The buffer cut into `streams` equal streams digested with md5AddLanes, the digests folded into
// one.
digest::Digest lanesMd5(const std::vector<std::uint8_t>& data, std::size_t streams,
                        digest::Md5Lanes lanes) {
    const std::size_t length = data.size() / streams;
    std::vector<digest::Md5State> states(streams);
    std::vector<digest::Md5State*> statePointers;
    std::vector<const std::uint8_t*> starts;
    for (std::size_t i = 0; i < streams; ++i) {
        digest::md5Start(states[i]);
        statePointers.push_back(&states[i]);
        starts.push_back(data.data() + i * length);
    }
    digest::md5AddLanes(statePointers.data(), starts.data(), streams, length, lanes);
    digest::Digest out{};
    for (auto& state : states) {
        const digest::Digest one = digest::md5Finish(state);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] ^= one[i];
    }
    return out;
}

// Arguments: the code (a digest::Md5Lanes), the number of streams.
void BM_Md5Lanes(benchmark::State& state) {
    const auto& data = buffer();
    const auto lanes = static_cast<digest::Md5Lanes>(state.range(0));
    const auto streams = static_cast<std::size_t>(state.range(1));
    for (auto _ : state) {
        benchmark::DoNotOptimize(lanesMd5(data, streams, lanes));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size() / streams * streams));
    const char* names[] = {"automatic", "plain", "sse2", "avx2"};
    state.SetLabel(std::string(names[state.range(0)]) + ", " + std::to_string(streams) +
                   " streams");
}
BENCHMARK(BM_Md5Lanes)
    ->ArgNames({"lanes", "streams"})
    ->Args({static_cast<int>(digest::Md5Lanes::plain), 1})
    ->Args({static_cast<int>(digest::Md5Lanes::plain), 2})
    ->Args({static_cast<int>(digest::Md5Lanes::plain), 3})
    ->Args({static_cast<int>(digest::Md5Lanes::sse2), 3})
    ->Args({static_cast<int>(digest::Md5Lanes::sse2), 4})
    ->Args({static_cast<int>(digest::Md5Lanes::avx2), 4})
    ->Args({static_cast<int>(digest::Md5Lanes::sse2), 5})
    ->Args({static_cast<int>(digest::Md5Lanes::avx2), 5})
    ->Args({static_cast<int>(digest::Md5Lanes::sse2), 8})
    ->Args({static_cast<int>(digest::Md5Lanes::avx2), 8})
    ->Args({static_cast<int>(digest::Md5Lanes::automatic), 8})
    ->Unit(benchmark::kMillisecond);

void BM_OpensslMd5(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(opensslMd5(data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_OpensslMd5)->Unit(benchmark::kMillisecond);

// Seconds taken by one call of `hash` over the whole buffer.
template <typename Hash>
double timeOnce(Hash hash, const std::vector<std::uint8_t>& data) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(hash(data));
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(stop - start).count();
}

// Times both, interleaved, keeps the best of each, and prints their throughput ratio.
// Returns false when the two disagree on the digest.
bool compareThroughput() {
    constexpr int kRepetitions = 5;
    const auto& data = buffer();
    if (kestrixMd5(data) != opensslMd5(data)) {
        std::printf("md5Digest and OpenSSL MD5 disagree on the benchmark buffer\n");
        return false;
    }
    double bestOwn = 1e30;
    double bestOpenssl = 1e30;
    double bestSideBySide = 1e30;
    for (int i = 0; i < kRepetitions; ++i) {
        bestOwn = std::min(bestOwn, timeOnce(kestrixMd5, data));
        bestOpenssl = std::min(bestOpenssl, timeOnce(opensslMd5, data));
        bestSideBySide = std::min(bestSideBySide, timeOnce(sideBySideMd5, data));
    }
    const double mib = static_cast<double>(data.size()) / (1024.0 * 1024.0);
    std::printf("md5Digest:   %.1f MiB/s (best of %d)\n", mib / bestOwn, kRepetitions);
    std::printf("OpenSSL MD5: %.1f MiB/s (best of %d)\n", mib / bestOpenssl, kRepetitions);
    std::printf("md5Digest / OpenSSL MD5 throughput ratio: %.3f (goal: at least 0.95)\n",
                bestOpenssl / bestOwn);
    std::printf("two streams side by side / md5Digest throughput ratio: %.3f\n",
                bestOwn / bestSideBySide);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return compareThroughput() ? 0 : 1;
}
