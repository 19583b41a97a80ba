// Whole-program timing of an extraction. The benchmark builds a container of 1 GiB of
// firmware-like unpacked data (once: later runs reuse it while its recipe is unchanged), then
// times, interleaved and best of several runs:
//   (a) a full extraction by the kestrix program of this build (the libdeflate backend),
//   (b) `openssl md5` over the same unpacked bytes, the reference for one pass over them,
//   (c) a full extraction by a kestrix built with the zlib backend.
// Each command runs as a child process; its wall time and peak resident memory are measured.
// The page cache cannot be dropped reliably here, so a warm-up pass runs each command once and
// every timed run sees the container and its inputs in a warm cache.
//
// Usage: kestrix_bench_extract [--kestrix PATH] [--kestrix-zlib PATH] [--openssl PATH]
//                              [--data DIR] [--repetitions N]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "digest/md5.h"
#include "tests/support/container_writer.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
// Raise this whenever the generated data changes, so that a cached container is rebuilt.
constexpr int kDataVersion = 1;
constexpr std::uint64_t kRssSlack = 32 * kMiB;
constexpr double kRatioGoal = 1.5;

// ---- The container's recipe ------------------------------------------------------------------

enum class Kind { Zeros, Erased, Text, Compressed, Repeated };

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Zeros:
            return "zeros";
        case Kind::Erased:
            return "erased";
        case Kind::Text:
            return "text";
        case Kind::Compressed:
            return "compressed";
        case Kind::Repeated:
            return "repeated";
    }
    return "?";
}

struct Share {
    Kind kind;
    unsigned mib;
};

// One table entry: its sub-file and what its unpacked bytes are made of. Entries with the same
// name are joined into one output file, in table order.
struct EntryRecipe {
    const char* name;
    std::uint32_t type;
    bool gzip;
    int level;  // level 1 where the data is mostly incompressible, which is quick to pack
    std::vector<Share> shares;
};

Share zeros(unsigned mib) {
    return {Kind::Zeros, mib};
}
Share erased(unsigned mib) {
    return {Kind::Erased, mib};
}
Share text(unsigned mib) {
    return {Kind::Text, mib};
}
Share compressed(unsigned mib) {
    return {Kind::Compressed, mib};
}
Share repeated(unsigned mib) {
    return {Kind::Repeated, mib};
}

// Zero runs and erased (0xFF) flash, text (properties, logs, paths), already-compressed data
// that deflate can only store, and repeated 4 KiB blocks: 1024 MiB in all. The largest entry
// is 200 MiB, within the program's default working size of 240 MiB.
const std::vector<EntryRecipe>& recipe() {
    constexpr bool kGzip = true;
    constexpr bool kZlib = false;
    static const std::vector<EntryRecipe> entries = {
        {"boot.img", 1, kGzip, 6, {compressed(6), zeros(3), text(2), repeated(1)}},
        {"modem.bin", 2, kZlib, 1, {compressed(52), erased(8), text(2), repeated(2)}},
        {"system.img", 3, kZlib, 6, {compressed(60), text(50), repeated(40), zeros(50)}},
        {"system.img", 3, kGzip, 6, {compressed(50), text(60), repeated(30), zeros(60)}},
        {"system.img", 3, kZlib, 6, {compressed(40), text(60), repeated(40), zeros(36)}},
        {"userdata.img", 4, kZlib, 6, {zeros(128), text(16), repeated(8)}},
        {"recovery.img", 5, kGzip, 6, {compressed(10), zeros(3), text(3)}},
        {"cache.img", 6, kZlib, 6, {zeros(36), text(4)}},
        {"firmware.bin", 7, kZlib, 6, {compressed(20), repeated(16), erased(8), text(4)}},
        {"firmware.bin", 7, kZlib, 6, {compressed(16), repeated(20), erased(8), text(4)}},
        {"persist.img", 8, kZlib, 6, {text(4), zeros(4)}},
        {"splash.img", 9, kGzip, 6, {repeated(30), compressed(10), zeros(20)}},
    };
    return entries;
}

std::uint64_t unpackedSizeOf(const EntryRecipe& entry) {
    std::uint64_t size = 0;
    for (const Share& share : entry.shares) size += share.mib * kMiB;
    return size;
}

// A text that changes whenever the generated container would.
std::string recipeText() {
    std::ostringstream text;
    text << "data " << kDataVersion << "\n";
    for (const EntryRecipe& entry : recipe()) {
        text << entry.name << ' ' << entry.type << ' ' << entry.gzip << ' ' << entry.level;
        for (const Share& share : entry.shares) text << ' ' << kindName(share.kind) << share.mib;
        text << '\n';
    }
    return text.str();
}

std::string hex(const std::uint8_t* bytes, std::size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// ---- Generated content ----------------------------------------------------------------------

class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }

  private:
    std::uint64_t state_;
};

// Random bytes: they stand for data that is already compressed, which deflate can only store.
void appendRandom(std::string& out, std::size_t length, Random& random) {
    std::size_t at = out.size();
    out.resize(at + length);
    char* bytes = out.data() + at;
    for (std::size_t i = 0; i < length; i += 8) {
        std::uint64_t value = random.next();
        std::memcpy(bytes + i, &value, std::min<std::size_t>(8, length - i));
    }
}

const char* const kWords[] = {
    "system",  "vendor",  "radio",    "modem",  "boot",     "camera",  "audio",   "wifi",
    "bt",      "display", "sensor",   "power",  "thermal",  "usb",     "gps",     "nfc",
    "media",   "codec",   "surface",  "input",  "keystore", "storage", "network", "telephony",
    "battery", "charger", "kernel",   "init",   "service",  "daemon",  "config",  "firmware",
    "overlay", "locale",  "timezone", "build",  "version",  "product", "device",  "region",
    "enabled", "started", "stopped",  "failed", "ready",    "loaded",  "mounted", "default"};
constexpr unsigned kWordCount = sizeof kWords / sizeof kWords[0];

// Lines such as a system image holds: properties, log lines, library paths, settings.
void appendText(std::string& out, std::size_t length, Random& random) {
    const std::size_t end = out.size() + length;
    char line[256];
    auto word = [&random]() { return kWords[random.below(kWordCount)]; };
    while (out.size() < end) {
        int written = 0;
        switch (random.below(4)) {
            case 0:
                written = std::snprintf(line, sizeof line, "ro.%s.%s.%s=%s%u\n", word(), word(),
                                        word(), word(), random.below(100));
                break;
            case 1:
                written = std::snprintf(
                    line, sizeof line, "<%u>[%5u.%06u] %s_%s: %s %s state=%u flags=0x%08x\n",
                    random.below(8), random.below(20000), random.below(1000000), word(), word(),
                    word(), word(), random.below(16), random.below(1u << 20) << 4);
                break;
            case 2:
                written = std::snprintf(line, sizeof line, "/%s/lib/lib%s_%s%u.so\n", word(),
                                        word(), word(), random.below(4));
                break;
            default:
                written = std::snprintf(line, sizeof line, "%s.%s = %s, %s (%u)\n", word(), word(),
                                        word(), word(), random.below(65536));
                break;
        }
        out.append(line,
                   std::min<std::size_t>(static_cast<std::size_t>(written), end - out.size()));
    }
}

// Copies of one 4 KiB block, as file systems and partition images repeat them: each copy
// carries its own index and a few changed bytes.
void appendRepeated(std::string& out, std::size_t length, Random& random, const std::string& block,
                    std::uint64_t& copies) {
    const std::size_t end = out.size() + length;
    while (out.size() < end) {
        std::string copy = block;
        ++copies;
        std::memcpy(copy.data(), &copies, sizeof copies);
        std::uint64_t patch = random.next();
        std::memcpy(copy.data() + 64 + random.below(static_cast<unsigned>(block.size() - 72)),
                    &patch, sizeof patch);
        out.append(copy, 0, std::min(copy.size(), end - out.size()));
    }
}

// The unpacked bytes of one entry: its shares cut into chunks of 64 KiB to 4 MiB, mixed in an
// order drawn from the seed.
std::string makeContent(const EntryRecipe& entry, std::uint64_t seed) {
    Random random(seed);
    std::string block;
    appendRandom(block, 4096, random);
    std::uint64_t copies = 0;

    std::vector<std::uint64_t> left;
    std::uint64_t total = 0;
    for (const Share& share : entry.shares) {
        left.push_back(share.mib * kMiB);
        total += share.mib * kMiB;
    }
    std::string out;
    out.reserve(total);
    while (out.size() < total) {
        std::uint64_t pick = random.next() % (total - out.size());
        std::size_t i = 0;
        while (pick >= left[i]) pick -= left[i++];
        std::uint64_t chunk = std::min<std::uint64_t>(left[i], (64 * 1024) << random.below(7));
        left[i] -= chunk;
        switch (entry.shares[i].kind) {
            case Kind::Zeros:
                out.append(chunk, '\0');
                break;
            case Kind::Erased:
                out.append(chunk, '\xff');
                break;
            case Kind::Text:
                appendText(out, chunk, random);
                break;
            case Kind::Compressed:
                appendRandom(out, chunk, random);
                break;
            case Kind::Repeated:
                appendRepeated(out, chunk, random, block, copies);
                break;
        }
    }
    return out;
}

// ---- The manifest: what the cached container holds --------------------------------------------

struct EntryFacts {
    std::string name;
    std::uint32_t type = 0;
    std::uint64_t packed = 0;
    std::uint64_t unpacked = 0;
};

struct OutputFacts {
    std::string name;
    std::uint64_t size = 0;
    std::string md5;  // lower-case hexadecimal
};

struct Manifest {
    std::string recipeDigest;
    std::uint64_t containerLength = 0;
    std::vector<EntryFacts> entries;
    std::vector<OutputFacts> outputs;  // in order of first appearance in the table

    std::uint64_t unpackedTotal() const {
        std::uint64_t total = 0;
        for (const OutputFacts& output : outputs) total += output.size;
        return total;
    }
    std::uint64_t packedTotal() const {
        std::uint64_t total = 0;
        for (const EntryFacts& entry : entries) total += entry.packed;
        return total;
    }
};

bool saveManifest(const std::string& path, const Manifest& manifest) {
    std::ofstream out(path + ".tmp", std::ios::trunc);
    out << "recipe " << manifest.recipeDigest << "\n";
    out << "container " << manifest.containerLength << "\n";
    for (const EntryFacts& entry : manifest.entries) {
        out << "entry " << entry.type << ' ' << entry.packed << ' ' << entry.unpacked << ' '
            << entry.name << "\n";
    }
    for (const OutputFacts& output : manifest.outputs) {
        out << "output " << output.size << ' ' << output.md5 << ' ' << output.name << "\n";
    }
    out.close();
    if (!out) return false;
    std::error_code error;
    fs::rename(path + ".tmp", path, error);
    return !error;
}

bool loadManifest(const std::string& path, Manifest& manifest) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "recipe") {
            fields >> manifest.recipeDigest;
        } else if (key == "container") {
            fields >> manifest.containerLength;
        } else if (key == "entry") {
            EntryFacts entry;
            fields >> entry.type >> entry.packed >> entry.unpacked >> entry.name;
            manifest.entries.push_back(entry);
        } else if (key == "output") {
            OutputFacts output;
            fields >> output.size >> output.md5 >> output.name;
            manifest.outputs.push_back(output);
        }
        if (!fields) return false;
    }
    return !manifest.recipeDigest.empty() && !manifest.entries.empty();
}

// ---- Building the container ------------------------------------------------------------------

// Generates and packs every entry (on every core), writes the container with the test container
// writer and then the manifest. Runs in a child process, so that the benchmark process itself
// stays small: a child it starts later would otherwise inherit its resident size into its peak.
bool buildBenchContainer(const std::string& containerPath, const std::string& manifestPath,
                         const std::string& recipeDigest) {
    const std::vector<EntryRecipe>& entries = recipe();
    const std::size_t count = entries.size();
    std::vector<std::string> contents(count);
    std::vector<std::string> packed(count);

    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&entries](std::size_t a, std::size_t b) {
        return unpackedSizeOf(entries[a]) > unpackedSizeOf(entries[b]);
    });
    std::atomic<std::size_t> next{0};
    auto work = [&]() {
        for (std::size_t taken = next++; taken < count; taken = next++) {
            const std::size_t i = order[taken];
            contents[i] = makeContent(entries[i], 0x4b455354ULL * (i + 1));
            packed[i] = testsupport::deflateContent(contents[i], entries[i].gzip, entries[i].level);
        }
    };
    unsigned threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 4u));
    std::vector<std::thread> workers;
    for (unsigned t = 1; t < threads; ++t) workers.emplace_back(work);
    work();
    for (std::thread& worker : workers) worker.join();

    Manifest manifest;
    manifest.recipeDigest = recipeDigest;
    std::map<std::string, digest::Md5State> digests;
    testsupport::ContainerPlan plan;
    plan.fileName = "KX100AT-00-V10a-BENCH.dz";
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = entries[i].name;
        manifest.entries.push_back({name, entries[i].type, packed[i].size(), contents[i].size()});
        auto found = digests.find(name);
        if (found == digests.end()) {
            found = digests.emplace(name, digest::Md5State{}).first;
            digest::md5Start(found->second);
            manifest.outputs.push_back({name, 0, ""});
        }
        digest::md5Add(found->second, contents[i].data(), contents[i].size());
        for (OutputFacts& output : manifest.outputs) {
            if (output.name == name) output.size += contents[i].size();
        }

        testsupport::SubfilePlan subfile;
        subfile.name = name;
        subfile.type = entries[i].type;
        subfile.gzip = entries[i].gzip;
        subfile.level = entries[i].level;
        subfile.content = std::move(contents[i]);
        subfile.packed = std::move(packed[i]);
        plan.subfiles.push_back(std::move(subfile));
    }
    for (OutputFacts& output : manifest.outputs) {
        digest::Digest d = digest::md5Finish(digests[output.name]);
        output.md5 = hex(d.data(), d.size());
    }

    testsupport::ContainerImage image = testsupport::buildContainer(plan);
    plan = {};
    manifest.containerLength = image.length;
    if (image.length >= (1ULL << 32)) {
        std::fprintf(stderr, "the generated container does not fit 32-bit offsets\n");
        return false;
    }
    if (!image.writeTo(containerPath)) {
        std::fprintf(stderr, "cannot write %s\n", containerPath.c_str());
        return false;
    }
    if (!saveManifest(manifestPath, manifest)) {
        std::fprintf(stderr, "cannot write %s\n", manifestPath.c_str());
        return false;
    }
    return true;
}

// ---- Running commands -----------------------------------------------------------------------

struct RunResult {
    int status = -1;  // the exit status, or -1 when the process did not exit normally
    double seconds = 0;
    double cpuSeconds = 0;      // user and system
    double systemSeconds = 0;   // system alone: mostly the kernel copying file data
    std::uint64_t peakRss = 0;  // bytes
};

double secondsOf(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Runs `arguments` (the program is looked up in PATH when it has no slash) with standard output
// and error going to `logPath`, and waits for it.
RunResult runCommand(const std::vector<std::string>& arguments, const std::string& logPath) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    std::fflush(nullptr);
    RunResult result;
    const auto start = std::chrono::steady_clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log < 0 || ::dup2(log, STDOUT_FILENO) < 0 || ::dup2(log, STDERR_FILENO) < 0) _exit(126);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    if (child < 0) return result;
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) return result;
    }
    const auto stop = std::chrono::steady_clock::now();
    result.seconds = std::chrono::duration<double>(stop - start).count();
    result.systemSeconds = secondsOf(usage.ru_stime);
    result.cpuSeconds = secondsOf(usage.ru_utime) + result.systemSeconds;
    result.peakRss = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // KiB on Linux
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void removeTree(const std::string& path) {
    std::error_code error;
    fs::remove_all(path, error);
}

// ---- Checking the output ----------------------------------------------------------------------

// Whether `directory` holds exactly the expected output files with their expected sizes and,
// when `reference` is given, the same bytes as the reference files at a few samples.
bool outputsLookRight(const std::string& directory, const Manifest& manifest,
                      const std::string* reference, std::string& why) {
    std::set<std::string> expected;
    for (const OutputFacts& output : manifest.outputs) expected.insert(output.name);
    std::set<std::string> found;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(directory, error)) {
        found.insert(item.path().filename().string());
    }
    if (error || found != expected) {
        why = "the output directory does not hold exactly the expected files";
        return false;
    }
    constexpr std::size_t kSample = 1 << 20;
    std::vector<char> ours(kSample);
    std::vector<char> theirs(kSample);
    for (const OutputFacts& output : manifest.outputs) {
        const std::string path = directory + "/" + output.name;
        if (fs::file_size(path, error) != output.size || error) {
            why = output.name + " has the wrong size";
            return false;
        }
        if (reference == nullptr) continue;
        std::ifstream a(path, std::ios::binary);
        std::ifstream b(*reference + "/" + output.name, std::ios::binary);
        const std::uint64_t last = output.size > kSample ? output.size - kSample : 0;
        for (std::uint64_t at : {std::uint64_t{0}, last / 2, last}) {
            const auto length =
                static_cast<std::streamsize>(std::min<std::uint64_t>(kSample, output.size));
            a.seekg(static_cast<std::streamoff>(at));
            b.seekg(static_cast<std::streamoff>(at));
            a.read(ours.data(), length);
            b.read(theirs.data(), length);
            if (!a || !b ||
                std::memcmp(ours.data(), theirs.data(), static_cast<std::size_t>(length)) != 0) {
                why = output.name + " differs from the verified output";
                return false;
            }
        }
    }
    return true;
}

// The digests an `openssl md5` run printed, one "MD5(path)= hex" line a file, checked against
// the manifest in order.
bool digestsRight(const std::string& logPath, const Manifest& manifest, std::string& why) {
    std::istringstream lines(readText(logPath));
    std::string line;
    for (const OutputFacts& output : manifest.outputs) {
        if (!std::getline(lines, line)) {
            why = "openssl md5 printed too few lines";
            return false;
        }
        const std::size_t equals = line.rfind("= ");
        if (equals == std::string::npos || line.substr(equals + 2) != output.md5) {
            why = "the digest of " + output.name + " is wrong: " + line;
            return false;
        }
    }
    return true;
}

// ---- The benchmark ----------------------------------------------------------------------------

struct Options {
    std::string kestrix = KESTRIX_PROGRAM;
    std::string kestrixZlib = KESTRIX_ZLIB_PROGRAM;
    std::string openssl = "openssl";
    std::string data = KESTRIX_BENCH_DATA;
    int repetitions = 3;
};

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (option == "--kestrix") {
            options.kestrix = value;
        } else if (option == "--kestrix-zlib") {
            options.kestrixZlib = value;
        } else if (option == "--openssl") {
            options.openssl = value;
        } else if (option == "--data") {
            options.data = value;
        } else if (option == "--repetitions") {
            options.repetitions = std::max(1, std::atoi(value.c_str()));
        } else {
            return false;
        }
    }
    return true;
}

double mib(std::uint64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kMiB);
}

// The best of a command's timed runs.
struct Best {
    double seconds = 1e30;
    double cpuSeconds = 1e30;
    double userSeconds = 1e30;  // cpu time less the kernel's
    std::uint64_t peakRss = 0;  // the highest of all its runs
    void add(const RunResult& run) {
        seconds = std::min(seconds, run.seconds);
        cpuSeconds = std::min(cpuSeconds, run.cpuSeconds);
        userSeconds = std::min(userSeconds, run.cpuSeconds - run.systemSeconds);
        peakRss = std::max(peakRss, run.peakRss);
    }
};

// The system's load averages, to judge how busy the machine was while timing.
std::string loadAverage() {
    std::string text = readText("/proc/loadavg");
    std::istringstream fields(text);
    std::string one, five, fifteen;
    fields >> one >> five >> fifteen;
    return fields ? one + " " + five + " " + fifteen : "unknown";
}

class Bench {
  public:
    Bench(const Options& options, const Manifest& manifest)
        : options_(options),
          manifest_(manifest),
          container_(options.data + "/extract.dz"),
          reference_(options.data + "/reference"),
          output_(options.data + "/output"),
          log_(options.data + "/command.log") {}

    // The warm-up pass: one extraction by each program and `openssl md5` over each output, with
    // every digest checked. The first extraction's output stays as the input of the md5 runs.
    bool warmUp(bool withZlib) {
        std::printf("Warm-up pass (not timed; every byte checked):\n");
        removeTree(reference_);
        if (!extract(options_.kestrix, reference_, nullptr, "libdeflate")) return false;
        if (!md5(reference_, "openssl md5")) return false;
        if (withZlib) {
            if (!extract(options_.kestrixZlib, output_, nullptr, "zlib")) return false;
            if (!md5(output_, "openssl md5 of the zlib output")) return false;
            removeTree(output_);
        }
        ::sync();
        return true;
    }

    bool extract(const std::string& program, const std::string& directory, Best* best,
                 const char* label) {
        removeTree(directory);
        ::sync();
        RunResult run = runCommand({program, "-x", container_, directory}, log_);
        std::printf("  %-32s %7.3f s  (cpu %6.3f s, of it system %6.3f s; peak RSS %6.1f MiB)\n",
                    (std::string("extraction, ") + label).c_str(), run.seconds, run.cpuSeconds,
                    run.systemSeconds, mib(run.peakRss));
        std::string why;
        if (run.status != 0) {
            std::printf("  FAILED: exit status %d; its output:\n%s\n", run.status,
                        readText(log_).c_str());
            return false;
        }
        const bool timed = best != nullptr;
        if (!outputsLookRight(directory, manifest_, timed ? &reference_ : nullptr, why)) {
            std::printf("  FAILED: %s\n", why.c_str());
            return false;
        }
        if (timed) {
            best->add(run);
            removeTree(directory);
        }
        return true;
    }

    bool md5(const std::string& directory, const char* label, Best* best = nullptr) {
        std::vector<std::string> command = {options_.openssl, "md5"};
        for (const OutputFacts& output : manifest_.outputs) {
            command.push_back(directory + "/" + output.name);
        }
        ::sync();
        RunResult run = runCommand(command, log_);
        std::printf("  %-32s %7.3f s  (cpu %6.3f s, of it system %6.3f s)\n", label, run.seconds,
                    run.cpuSeconds, run.systemSeconds);
        std::string why;
        if (run.status != 0) {
            std::printf("  FAILED: exit status %d; its output:\n%s\n", run.status,
                        readText(log_).c_str());
            return false;
        }
        if (!digestsRight(log_, manifest_, why)) {
            std::printf("  FAILED: %s\n", why.c_str());
            return false;
        }
        if (best != nullptr) best->add(run);
        return true;
    }

    // The baseline: the program showing the header and table only, extracting nothing.
    std::uint64_t baselineRss() {
        RunResult run = runCommand({options_.kestrix, "-h", "-o", container_}, log_);
        return run.status == 0 ? run.peakRss : 0;
    }

    const std::string& reference() const { return reference_; }
    const std::string& output() const { return output_; }

  private:
    const Options& options_;
    const Manifest& manifest_;
    std::string container_;
    std::string reference_;
    std::string output_;
    std::string log_;
};

const char* verdict(bool met) {
    return met ? "goal met" : "goal NOT met";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--kestrix PATH] [--kestrix-zlib PATH] [--openssl PATH] "
                     "[--data DIR] [--repetitions N]\n",
                     argv[0]);
        return 2;
    }
    std::error_code error;
    fs::create_directories(options.data, error);
    const std::string containerPath = options.data + "/extract.dz";
    const std::string manifestPath = options.data + "/extract.manifest";

    const std::string recipe = recipeText();
    const digest::Digest recipeDigest = digest::md5Digest(recipe.data(), recipe.size());
    const std::string recipeHex = hex(recipeDigest.data(), recipeDigest.size());

    Manifest manifest;
    struct stat info {};
    const bool cached = loadManifest(manifestPath, manifest) &&
                        manifest.recipeDigest == recipeHex &&
                        ::stat(containerPath.c_str(), &info) == 0 &&
                        static_cast<std::uint64_t>(info.st_size) == manifest.containerLength;
    if (cached) {
        std::printf("Container: %s (reused)\n", containerPath.c_str());
    } else {
        std::printf("Container: building %s ...\n", containerPath.c_str());
        std::fflush(nullptr);
        fs::remove(manifestPath, error);
        const auto start = std::chrono::steady_clock::now();
        pid_t child = ::fork();
        if (child == 0) {
            bool built = buildBenchContainer(containerPath, manifestPath, recipeHex);
            std::fflush(nullptr);
            _exit(built ? 0 : 1);
        }
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "building the container failed\n");
            return 1;
        }
        manifest = {};
        if (!loadManifest(manifestPath, manifest)) {
            std::fprintf(stderr, "cannot read %s\n", manifestPath.c_str());
            return 1;
        }
        ::sync();
        std::printf(
            "Container: built in %.1f s\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }

    std::printf(
        "Container: %zu sub-files into %zu output files, %.1f MiB unpacked, %.1f MiB "
        "packed, %.1f MiB in all\n",
        manifest.entries.size(), manifest.outputs.size(), mib(manifest.unpackedTotal()),
        mib(manifest.packedTotal()), mib(manifest.containerLength));
    for (const EntryFacts& entry : manifest.entries) {
        std::printf("  type %2u  %-14s packed %7.1f MiB  unpacked %6.1f MiB\n", entry.type,
                    entry.name.c_str(), mib(entry.packed), mib(entry.unpacked));
    }
#ifdef KESTRIX_USE_LIBDEFLATE
    const char* backend = "libdeflate";
#else
    const char* backend = "zlib";
#endif
    std::printf("kestrix, this build's backend (%s): %s\n", backend, options.kestrix.c_str());
    const bool withZlib = ::access(options.kestrixZlib.c_str(), X_OK) == 0;
    if (withZlib) {
        std::printf("kestrix, zlib backend: %s\n", options.kestrixZlib.c_str());
    } else {
        std::printf("kestrix, zlib backend: none at %s; its runs are left out\n",
                    options.kestrixZlib.c_str());
    }
    std::printf(
        "The page cache cannot be dropped reliably here, so a warm-up pass runs every command\n"
        "once first and all timed runs see the container and the md5 input in a warm cache.\n"
        "An extraction writes its whole output into fresh page cache: on a virtual machine the\n"
        "first touch of that memory can cost much more system time in one run than the next.\n\n");

    std::printf("Load average before the runs: %s\n", loadAverage().c_str());
    Bench bench(options, manifest);
    if (!bench.warmUp(withZlib)) return 1;

    Best libdeflate;
    Best md5;
    Best zlib;
    for (int run = 1; run <= options.repetitions; ++run) {
        std::printf("Run %d of %d:\n", run, options.repetitions);
        if (!bench.extract(options.kestrix, bench.output(), &libdeflate, "libdeflate")) return 1;
        if (!bench.md5(bench.reference(), "openssl md5", &md5)) return 1;
        if (withZlib && !bench.extract(options.kestrixZlib, bench.output(), &zlib, "zlib")) {
            return 1;
        }
    }
    const std::uint64_t baseline = bench.baselineRss();
    removeTree(bench.reference());

    // The peak memory bound: the sub-file that needs the most (its packed and unpacked bytes are
    // in memory together), plus room for the program itself.
    const EntryFacts* largest = &manifest.entries.front();
    for (const EntryFacts& entry : manifest.entries) {
        if (entry.packed + entry.unpacked > largest->packed + largest->unpacked) largest = &entry;
    }
    const std::uint64_t bound = largest->packed + largest->unpacked + kRssSlack;

    const double unpacked = mib(manifest.unpackedTotal());
    const double ratio = libdeflate.seconds / md5.seconds;
    std::printf("\nBest of %d (%.1f MiB unpacked; load average now %s):\n", options.repetitions,
                unpacked, loadAverage().c_str());
    std::printf("  extraction, libdeflate backend: %7.3f s  (%6.1f MiB/s; cpu %.3f s)\n",
                libdeflate.seconds, unpacked / libdeflate.seconds, libdeflate.cpuSeconds);
    std::printf("  openssl md5:                    %7.3f s  (%6.1f MiB/s; cpu %.3f s)\n",
                md5.seconds, unpacked / md5.seconds, md5.cpuSeconds);
    if (withZlib) {
        std::printf("  extraction, zlib backend:       %7.3f s  (%6.1f MiB/s; cpu %.3f s)\n",
                    zlib.seconds, unpacked / zlib.seconds, zlib.cpuSeconds);
    }
    std::printf("  extraction / openssl md5:          %.3f (goal: at most %.1f): %s\n", ratio,
                kRatioGoal, verdict(ratio <= kRatioGoal));
    std::printf("    the same in cpu time:            %.3f\n",
                libdeflate.cpuSeconds / md5.cpuSeconds);
    // User time leaves out the kernel's page-cache work, which swings widely on this machine.
    std::printf("    the same in user time:           %.3f\n",
                libdeflate.userSeconds / md5.userSeconds);
    if (withZlib) {
        std::printf("  zlib backend / libdeflate backend: %.3f (cpu time: %.3f)\n",
                    zlib.seconds / libdeflate.seconds, zlib.cpuSeconds / libdeflate.cpuSeconds);
    }
    std::printf("  peak RSS, libdeflate backend: %.1f MiB", mib(libdeflate.peakRss));
    if (withZlib) std::printf(" (zlib backend: %.1f MiB)", mib(zlib.peakRss));
    std::printf("; header and table only: %.1f MiB\n", mib(baseline));
    std::printf(
        "  bound: largest sub-file (%s, type %u) packed %.1f + unpacked %.1f + %.0f MiB = "
        "%.1f MiB: %s\n",
        largest->name.c_str(), largest->type, mib(largest->packed), mib(largest->unpacked),
        mib(kRssSlack), mib(bound), verdict(libdeflate.peakRss <= bound));
    return 0;
}
