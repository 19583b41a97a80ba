// The two inflate backends and the deflate code check, per kind of stream. Each kind is one
// stream made with zlib's deflate from 32 MiB of unpacked bytes (firmware-like mixed data, or
// text alone where the codes matter most, or the files this machine has installed, as a system
// image holds them: executables, shared libraries, and files compressed already); every kind is
// timed for:
//   zlib        inflateWithZlib, the zlib backend;
//   libdeflate  inflateWithLibdeflate, the libdeflate backend (libdeflate, and the check unless
//               libdeflate refuses what zlib refuses itself);
//   check       zlibReadsDeflateCodes alone, over the stream's deflate data.
// After the Google Benchmark runs, the three are timed again in one interleaved series, best of
// several rounds in this thread's CPU time, and a table gives each kind's figures and the ratio
// libdeflate / zlib: the libdeflate backend is never the slower one. Where it inflates with
// libdeflate, the ratio must stay below 1; where the check leaves the stream to zlib (column
// "via"), the backend runs zlib itself after a short walk, and the ratio must be 1 within the noise
// of a shared machine, at most kTieRatio.
//
// Usage: kestrix_bench_inflate [Google Benchmark flags] [--rounds N]
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/firmware_content.h"
#include "dzlib/deflate_check.h"
#include "dzlib/inflate.h"
#include "dzlib/inflate_libdeflate.h"

namespace {

using bench::appendRandom;
using bench::appendRepeated;
using bench::appendText;
using bench::Random;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kUnpackedSize = 32 * kMiB;

// ---- Content ----------------------------------------------------------------------------------

// A firmware image's mix, in chunks of 64 KiB to 1 MiB: text 40%, zero runs 15%, erased flash
// (0xff) 5%, already compressed (random) data 20%, repeated blocks 20%.
Bytes mixedContent() {
    Random random(2026);
    std::string block;
    appendRandom(block, 4096, random);
    std::uint64_t copies = 0;
    std::string out;
    out.reserve(kUnpackedSize + kMiB);
    while (out.size() < kUnpackedSize) {
        const std::size_t chunk =
            std::min<std::size_t>((64 * 1024) << random.below(5), kUnpackedSize - out.size());
        const unsigned pick = random.below(20);
        if (pick < 8) {
            appendText(out, chunk, random);
        } else if (pick < 11) {
            out.append(chunk, '\0');
        } else if (pick < 12) {
            out.append(chunk, '\xff');
        } else if (pick < 16) {
            appendRandom(out, chunk, random);
        } else {
            appendRepeated(out, chunk, random, block, copies);
        }
    }
    return Bytes(out.begin(), out.end());
}

Bytes textContent() {
    Random random(7);
    std::string out;
    out.reserve(kUnpackedSize);
    appendText(out, kUnpackedSize, random);
    return Bytes(out.begin(), out.end());
}

// Up to kUnpackedSize bytes of the regular files under `roots` that `wanted` picks, whole and in
// path order, one after the other: the same bytes on the same machine.
template <typename Wanted>
Bytes installedFiles(std::initializer_list<const char*> roots, Wanted wanted) {
    namespace fs = std::filesystem;
    std::vector<fs::path> paths;
    for (const char* root : roots) {
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(root, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (it->is_regular_file(error) && !it->is_symlink(error) && wanted(it->path()))
                paths.push_back(it->path());
        }
    }
    std::sort(paths.begin(), paths.end());
    Bytes out;
    out.reserve(kUnpackedSize);
    for (const fs::path& path : paths) {
        std::ifstream in(path, std::ios::binary);
        const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        out.insert(out.end(), file.begin(),
                   file.begin() + static_cast<std::ptrdiff_t>(
                                      std::min(file.size(), kUnpackedSize - out.size())));
        if (out.size() == kUnpackedSize) break;
    }
    if (out.empty()) {
        std::fprintf(stderr, "no installed files found under %s\n", *roots.begin());
        std::exit(1);
    }
    return out;
}

// Executables (from /usr/bin), shared libraries (.so files from /usr/lib) and files compressed
// already (.gz, .png, .jar, .zip from /usr/share and /usr/lib), as installed.
Bytes executableContent() {
    return installedFiles({"/usr/bin", "/usr/sbin"},
                          [](const std::filesystem::path&) { return true; });
}

Bytes libraryContent() {
    return installedFiles({"/usr/lib"}, [](const std::filesystem::path& path) {
        const std::string name = path.filename().string();
        return name.find(".so") != std::string::npos &&
               path.string().find("/firmware/") == std::string::npos;
    });
}

Bytes compressedContent() {
    return installedFiles({"/usr/share", "/usr/lib"}, [](const std::filesystem::path& path) {
        const std::string extension = path.extension().string();
        return (extension == ".gz" || extension == ".png" || extension == ".jar" ||
                extension == ".zip") &&
               path.string().find("/firmware/") == std::string::npos;
    });
}

// ---- Streams ----------------------------------------------------------------------------------

enum class Content { Mixed, Text, Executables, Libraries, Compressed };

struct StreamKind {
    const char* name;
    Content content;
    int level;
    int strategy;
    bool gzip;
    std::size_t flushEvery;  // a Z_FULL_FLUSH after every so many input bytes; 0 for none
    // The first flush after so many input bytes instead, for a long normal start (a compressor
    // that starts flushing late); 0 for after flushEvery.
    std::size_t flushFrom = 0;
};

const StreamKind kKinds[] = {
    {"level6", Content::Mixed, 6, Z_DEFAULT_STRATEGY, false, 0},
    {"level1", Content::Mixed, 1, Z_DEFAULT_STRATEGY, false, 0},
    {"level9", Content::Mixed, 9, Z_DEFAULT_STRATEGY, false, 0},
    {"fullflush1000", Content::Mixed, 6, Z_DEFAULT_STRATEGY, false, 1000},
    {"huffman", Content::Mixed, 6, Z_HUFFMAN_ONLY, false, 0},
    {"rle", Content::Mixed, 6, Z_RLE, false, 0},
    {"fixed", Content::Mixed, 6, Z_FIXED, false, 0},
    {"stored", Content::Mixed, 0, Z_DEFAULT_STRATEGY, false, 0},
    {"gzip", Content::Mixed, 6, Z_DEFAULT_STRATEGY, true, 0},
    {"text-level6", Content::Text, 6, Z_DEFAULT_STRATEGY, false, 0},
    {"text-huffman", Content::Text, 6, Z_HUFFMAN_ONLY, false, 0},
    {"text-fullflush1000", Content::Text, 6, Z_DEFAULT_STRATEGY, false, 1000},
    {"flush1000-late", Content::Mixed, 6, Z_DEFAULT_STRATEGY, false, 1000, 2 * kMiB},
    {"text-flush1000-late", Content::Text, 6, Z_DEFAULT_STRATEGY, false, 1000, 2 * kMiB},
    {"real-executables", Content::Executables, 6, Z_DEFAULT_STRATEGY, false, 0},
    {"real-libraries", Content::Libraries, 6, Z_DEFAULT_STRATEGY, false, 0},
    {"real-compressed", Content::Compressed, 6, Z_DEFAULT_STRATEGY, false, 0},
    {"real-libraries-gzip1", Content::Libraries, 1, Z_DEFAULT_STRATEGY, true, 0},
};

const Bytes& contentOf(Content content) {
    static std::map<Content, Bytes> made;
    Bytes& bytes = made[content];
    if (!bytes.empty()) return bytes;
    switch (content) {
        case Content::Mixed:
            return bytes = mixedContent();
        case Content::Text:
            return bytes = textContent();
        case Content::Executables:
            return bytes = executableContent();
        case Content::Libraries:
            return bytes = libraryContent();
        case Content::Compressed:
            return bytes = compressedContent();
    }
    return bytes;
}

Bytes deflateStream(const StreamKind& kind) {
    const Bytes& content = contentOf(kind.content);
    z_stream stream{};
    if (deflateInit2(&stream, kind.level, Z_DEFLATED, kind.gzip ? 31 : 15, 8, kind.strategy) !=
        Z_OK) {
        std::fprintf(stderr, "deflateInit2 failed\n");
        std::exit(1);
    }
    Bytes out(deflateBound(&stream, content.size()) + content.size() / 100 + 64);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const std::size_t every = kind.flushEvery != 0 ? kind.flushEvery : content.size();
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t piece = at == 0 && kind.flushFrom != 0 ? kind.flushFrom : every;
        const std::size_t length = std::min(piece, content.size() - at);
        stream.next_in = const_cast<Bytef*>(content.data() + at);
        stream.avail_in = static_cast<uInt>(length);
        const bool last = at + length == content.size();
        const int result = deflate(&stream, last ? Z_FINISH : Z_FULL_FLUSH);
        if (result != (last ? Z_STREAM_END : Z_OK) || stream.avail_in != 0) {
            std::fprintf(stderr, "deflate failed on %s\n", kind.name);
            std::exit(1);
        }
        at += length;
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// One kind's stream, where its deflate data lies in it, and room for its output.
struct Stream {
    Bytes packed;
    std::size_t deflateBegin = 0;
    std::size_t deflateEnd = 0;
    std::size_t unpackedSize = 0;
};

const Stream& streamOf(const StreamKind& kind) {
    static std::map<std::string, Stream> streams;
    Stream& stream = streams[kind.name];
    if (stream.packed.empty()) {
        stream.packed = deflateStream(kind);
        // zlib's own gzip header has no optional fields: 10 bytes; the trailers are CRC32 and
        // ISIZE, or Adler-32.
        stream.deflateBegin = kind.gzip ? 10 : 2;
        stream.deflateEnd = stream.packed.size() - (kind.gzip ? 8 : 4);
        stream.unpackedSize = contentOf(kind.content).size();
    }
    return stream;
}

std::uint8_t* outputBuffer() {
    static Bytes output(kUnpackedSize);
    return output.data();
}

// ---- The three measures -----------------------------------------------------------------------

enum class Measure { Zlib, Libdeflate, Check };
constexpr Measure kMeasures[] = {Measure::Zlib, Measure::Libdeflate, Measure::Check};

const char* measureName(Measure measure) {
    switch (measure) {
        case Measure::Zlib:
            return "zlib";
        case Measure::Libdeflate:
            return "libdeflate";
        case Measure::Check:
            return "check";
    }
    return "?";
}

// Runs one measure once; false when the stream is refused (or unpacks to the wrong length).
bool runOnce(Measure measure, const Stream& stream) {
    std::size_t length = 0;
    switch (measure) {
        case Measure::Zlib:
            return dz::inflateWithZlib(stream.packed.data(), stream.packed.size(), outputBuffer(),
                                       kUnpackedSize, length) &&
                   length == stream.unpackedSize;
        case Measure::Libdeflate:
            return dz::inflateWithLibdeflate(stream.packed.data(), stream.packed.size(),
                                             outputBuffer(), kUnpackedSize, length) &&
                   length == stream.unpackedSize;
        case Measure::Check:
            return dz::zlibReadsDeflateCodes(stream.packed.data() + stream.deflateBegin,
                                             stream.deflateEnd - stream.deflateBegin);
    }
    return false;
}

void benchmarkMeasure(benchmark::State& state, const StreamKind* kind, Measure measure) {
    const Stream& stream = streamOf(*kind);
    for (auto _ : state) {
        if (!runOnce(measure, stream)) {
            state.SkipWithError("the stream was refused");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.unpackedSize));
}

// This thread's CPU time in seconds: on a shared machine, the time other programs take from a
// run is left out, which wall time would count.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double secondsOnce(Measure measure, const Stream& stream) {
    const double start = threadSeconds();
    const bool ok = runOnce(measure, stream);
    const double stop = threadSeconds();
    if (!ok) {
        std::fprintf(stderr, "%s refused a stream\n", measureName(measure));
        std::exit(1);
    }
    return stop - start;
}

// The most a kind left to zlib may take over the zlib backend's time: the same inflate after a
// walk of a few blocks, measured in separate runs on a shared machine.
constexpr double kTieRatio = 1.02;

// True when the libdeflate backend leaves the stream to zlib: never with a libdeflate that
// refuses what zlib refuses as it decodes, which needs no check.
bool leftToZlib([[maybe_unused]] const Stream& stream) {
#ifdef KESTRIX_LIBDEFLATE_ZLIB_VERDICTS
    return false;
#else
    const std::size_t size = stream.deflateEnd - stream.deflateBegin;
    dz::LibdeflateWalkPolicy policy(size, kUnpackedSize);
    return dz::walkDeflateCodes(stream.packed.data() + stream.deflateBegin, size, policy) ==
           dz::CodeWalk::kStopped;
#endif
}

// Times the three measures of every kind, interleaved, best of `rounds`, and prints the table.
// Returns false when a kind's libdeflate backend is slower than its zlib backend: not below 1
// where it inflates with libdeflate, above kTieRatio where it leaves the stream to zlib.
bool compareBackends(int rounds) {
    constexpr std::size_t kKindCount = sizeof kKinds / sizeof kKinds[0];
    double best[kKindCount][3];
    for (auto& row : best) std::fill(std::begin(row), std::end(row), 1e30);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < kKindCount; ++k) {
            const Stream& stream = streamOf(kKinds[k]);
            for (std::size_t m = 0; m < 3; ++m) {
                best[k][m] = std::min(best[k][m], secondsOnce(kMeasures[m], stream));
            }
        }
    }
    std::printf(
        "\nBest of %d interleaved rounds, in CPU seconds per GiB unpacked; ratio = libdeflate "
        "backend / zlib backend (goal: below 1 via libdeflate, at most %.2f via zlib)\n",
        rounds, kTieRatio);
    std::printf("%-20s %9s %9s | %9s %9s %9s | %-10s %6s\n", "kind", "packed", "MiB/s", "zlib",
                "libdefl.", "check", "via", "ratio");
    std::printf("%-20s %9s %9s | %9s %9s %9s |\n", "", "MiB", "(zlib)", "s/GiB", "s/GiB", "s/GiB");
    bool neverSlower = true;
    double checkLeast = 1e30;
    double checkMost = 0;
    double realCheck = 0;  // the check's seconds and the GiB unpacked of the real-* kinds
    double realGib = 0;
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const Stream& stream = streamOf(kKinds[k]);
        const double gib = static_cast<double>(stream.unpackedSize) / (1024.0 * kMiB);
        const double ratio = best[k][1] / best[k][0];
        const bool viaZlib = leftToZlib(stream);
        const bool met = viaZlib ? ratio <= kTieRatio : ratio < 1.0;
        neverSlower = neverSlower && met;
        checkLeast = std::min(checkLeast, best[k][2] / gib);
        checkMost = std::max(checkMost, best[k][2] / gib);
        if (std::strncmp(kKinds[k].name, "real-", 5) == 0) {
            realCheck += best[k][2];
            realGib += gib;
        }
        std::printf("%-20s %9.2f %9.1f | %9.3f %9.3f %9.3f | %-10s %6.3f%s\n", kKinds[k].name,
                    static_cast<double>(stream.packed.size()) / kMiB,
                    static_cast<double>(stream.unpackedSize) / kMiB / best[k][0], best[k][0] / gib,
                    best[k][1] / gib, best[k][2] / gib, viaZlib ? "zlib" : "libdeflate", ratio,
                    met ? "" : "  MISSED");
    }
#ifdef KESTRIX_LIBDEFLATE_ZLIB_VERDICTS
    std::printf("libdeflate refuses what zlib refuses as it decodes: the backend pays no check\n");
#endif
    std::printf("check alone: %.3f to %.3f s per GiB unpacked\n", checkLeast, checkMost);
    std::printf("check alone on the installed files (real-*): %.3f s per GiB unpacked in all\n",
                realGib > 0 ? realCheck / realGib : 0.0);
    std::printf("libdeflate backend never slower than the zlib backend: %s\n",
                neverSlower ? "yes" : "NO");
    return neverSlower;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
            for (int j = i; j + 2 <= argc; ++j) argv[j] = argv[j + 2];
            argc -= 2;
            break;
        }
    }
    for (const StreamKind& kind : kKinds) {
        for (Measure measure : kMeasures) {
            const std::string name = std::string(kind.name) + "/" + measureName(measure);
            benchmark::RegisterBenchmark(name.c_str(), benchmarkMeasure, &kind, measure)
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return compareBackends(rounds) ? 0 : 1;
}
