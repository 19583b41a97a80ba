// Whole-program figures of kestrix and kx on one container: about 1 GiB of firmware-like
// unpacked data (bench/firmware_data.h), or with --container one made beforehand (the real
// files of bench/make-realdata.sh, with their facts beside them), each program run as a child
// process against the tool a person would otherwise use for the same bytes:
//   kestrix -x     against openssl md5 over the extracted files, and a zlib-backend kestrix;
//   kx test        against openssl md5 and kestrix -x;
//   kx extract     against openssl md5 and kestrix -x;
//   kx pack        (of the extracted files and their manifest) with --recompress against gzip -6
//                  over them; and the round trip, one byte of the system image changed among all
//                  the extracted files or in it alone, against that full pack and openssl md5.
// A warm-up round runs every command once, then the timed rounds run them interleaved and each
// takes its best wall, user and system time; the peak memory is the highest of all rounds. Every
// run's output is checked (every extracted file's digest, every openssl digest, the packed
// container through kx test), so a fast wrong answer never counts. The machine is shared: the
// verdicts are printed, and only a failed or wrong run makes the exit status non-zero.
//
// With --round-trip, only the commands the round trip's goals compare run: openssl md5, the full
// pack and the two packs of one changed byte.
//
// Usage: kestrix_bench_programs [--quick] [--round-trip] [--rounds N] [--data DIR]
//                               [--container PATH]
//                               [--kestrix PATH] [--kestrix-zlib PATH] [--kx PATH]
//                               [--openssl PATH] [--gzip PATH]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/commands.h"
#include "bench/firmware_data.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace fs = std::filesystem;
using bench::Best;
using bench::Run;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

struct Options {
    bool quick = false;      // a container of about 128 MiB, for quick looks
    bool roundTrip = false;  // the round trip's commands alone
    int rounds = 3;
    std::string data = KESTRIX_BENCH_DATA;
    std::string container;  // a container made beforehand, instead of the generated one
    std::string kestrix = KESTRIX_PROGRAM;
    std::string kestrixZlib = KESTRIX_ZLIB_PROGRAM;
    std::string kx = KX_PROGRAM;
    std::string openssl = "openssl";
    std::string gzip = "gzip";
};

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--quick" || option == "--round-trip") {
            (option == "--quick" ? options.quick : options.roundTrip) = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (option == "--rounds") {
            options.rounds = std::max(1, std::atoi(value.c_str()));
        } else if (option == "--data") {
            options.data = value;
        } else if (option == "--container") {
            options.container = value;
        } else if (option == "--kestrix") {
            options.kestrix = value;
        } else if (option == "--kestrix-zlib") {
            options.kestrixZlib = value;
        } else if (option == "--kx") {
            options.kx = value;
        } else if (option == "--openssl") {
            options.openssl = value;
        } else if (option == "--gzip") {
            options.gzip = value;
        } else {
            return false;
        }
    }
    return true;
}

double mib(std::uint64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kMiB);
}

void removeTree(const std::string& path) {
    std::error_code error;
    fs::remove_all(path, error);
}

// Runs the commands of one benchmark and checks what each made.
class Bench {
  public:
    Bench(const Options& options, const bench::FirmwareFacts& facts, std::string container)
        : options_(options), facts_(facts), container_(std::move(container)) {
        const std::string& data = options.data;
        source_ = data + "/source";
        manifest_ = data + "/source.json";
        out_ = data + "/out";
        packed_ = data + "/packed.dz";
        gzipped_ = data + "/gzip-6.out";
        log_ = data + "/run.log";
        edited_ = data + "/edited";
        alone_ = data + "/alone";
        // The system image: the output of the most pieces.
        std::size_t most = 0;
        for (const auto& output : facts.outputs) {
            std::size_t pieces = 0;
            for (const auto& entry : facts.entries) pieces += entry.name == output.name ? 1 : 0;
            if (pieces > most) {
                most = pieces;
                image_ = &output;
            }
        }
        for (const auto& output : facts.outputs)
            sourceFiles_.push_back(source_ + "/" + output.name);
    }

    // The files every other command reads: the container extracted by kx with its manifest,
    // checked like every extraction.
    bool prepareSource() {
        removeTree(source_);
        return once("kx extract --manifest",
                    {options_.kx, "extract", container_, "-C", source_, "--manifest", manifest_,
                     "--force", "-q"},
                    nullptr) &&
               outputsRight(source_);
    }

    // The round trip's starting points: every file extracted with its manifest, and the
    // system image alone with its own; in both, one byte of the system image changed.
    bool prepareRoundTrips() {
        for (const std::string& folder : {edited_, alone_}) {
            removeTree(folder);
            std::vector<std::string> command = {
                options_.kx, "extract",    container_,         "-C",
                folder,      "--manifest", folder + "/m.json", "-q"};
            if (folder == alone_) command.push_back(image_->name);
            if (!once("kx extract --manifest", command, nullptr)) return false;
            std::fstream file(folder + "/" + image_->name,
                              std::ios::in | std::ios::out | std::ios::binary);
            file.seekg(static_cast<std::streamoff>(fs::file_size(folder + "/" + image_->name) / 3));
            const int byte = file.peek();
            file.seekp(file.tellg());
            file.put(static_cast<char>(byte ^ 0x01));
            if (!file.flush()) return fail("cannot change " + folder + "/" + image_->name);
        }
        return true;
    }

    // Packs one round trip's folder; the container must pass kx test.
    bool kxPackChanged(const std::string& folder, const char* label, Best* best) {
        const std::string target = folder + ".dz";
        removeTree(target);
        if (!once(label, {options_.kx, "pack", folder + "/m.json", "-o", target, "-q"}, best))
            return false;
        const Run test = bench::runCommand({options_.kx, "test", target, "-q"}, log_);
        removeTree(target);
        return test.status == 0 || fail(target + " fails kx test: " + bench::readText(log_));
    }
    const std::string& edited() const { return edited_; }
    const std::string& alone() const { return alone_; }

    bool kestrix(const std::string& program, const char* label, Best* best) {
        removeTree(out_);
        const bool good =
            once(label, {program, "-x", container_, out_}, best) && outputsRight(out_);
        removeTree(out_);
        return good;
    }

    bool kxExtract(Best* best) {
        removeTree(out_);
        const bool good =
            once("kx extract", {options_.kx, "extract", container_, "-C", out_, "-q"}, best) &&
            outputsRight(out_);
        removeTree(out_);
        return good;
    }

    bool kxTest(Best* best) {
        return once("kx test", {options_.kx, "test", container_, "-q"}, best) &&
               testSaysAllGood(bench::readText(log_));
    }

    // One serial digest pass over the extracted files, every digest checked.
    bool opensslMd5(Best* best) {
        std::vector<std::string> command = {options_.openssl, "md5"};
        command.insert(command.end(), sourceFiles_.begin(), sourceFiles_.end());
        if (!once("openssl md5", command, best)) return false;
        std::istringstream lines(bench::readText(log_));
        std::string line;
        for (const auto& output : facts_.outputs) {
            if (!std::getline(lines, line) || line.size() < 32 ||
                line.substr(line.size() - 32) != output.md5) {
                return fail("openssl md5 gives a wrong digest for " + output.name);
            }
        }
        return true;
    }

    // Each extracted file compressed once by gzip -6, one after the other, into one file of
    // gzip members.
    bool gzip(Best* best) {
        std::vector<std::string> command = {options_.gzip, "-6", "-n", "-c"};
        command.insert(command.end(), sourceFiles_.begin(), sourceFiles_.end());
        removeTree(gzipped_);
        if (!once("gzip -6", command, best, gzipped_)) return false;
        gzipBytes_ = fs::file_size(gzipped_);
        return true;
    }

    // The extracted files packed again; the container must pass kx test, and kx list gives the
    // packed size of each of its sub-files.
    bool kxPack(Best* best) {
        removeTree(packed_);
        if (!once("kx pack --recompress",
                  {options_.kx, "pack", manifest_, "-o", packed_, "--recompress", "-q"}, best))
            return false;
        const Run test = bench::runCommand({options_.kx, "test", packed_, "-q"}, log_);
        if (test.status != 0 || !testSaysAllGood(bench::readText(log_)))
            return fail("the packed container fails kx test: " + bench::readText(log_));
        bench::runCommand({options_.kx, "list", packed_, "--json"}, log_);
        std::istringstream json(bench::readText(log_));
        std::string line;
        packedBytes_ = 0;
        std::size_t entries = 0;
        const std::string key = "\"packed_size\": ";
        while (std::getline(json, line)) {
            const std::size_t at = line.find(key);
            if (at == std::string::npos) continue;
            packedBytes_ += std::strtoull(line.c_str() + at + key.size(), nullptr, 10);
            ++entries;
        }
        if (entries != facts_.entries.size()) return fail("kx list shows the wrong entries");
        return true;
    }

    std::uint64_t gzipBytes() const { return gzipBytes_; }
    std::uint64_t packedBytes() const { return packedBytes_; }
    void cleanUp() {
        for (const std::string& path :
             {source_, manifest_, out_, packed_, gzipped_, edited_, alone_})
            removeTree(path);
    }

  private:
    // Runs a command once, after writing back what earlier ones left, and prints its figures.
    bool once(const std::string& label, const std::vector<std::string>& command, Best* best,
              const std::string& outputPath = "") {
        ::sync();
        const Run run = bench::runCommand(command, log_, outputPath);
        std::printf("  %-24s %8.3f s  (user %7.3f s, system %6.3f s; peak RSS %7.1f MiB)\n",
                    label.c_str(), run.wall, run.user, run.system, mib(run.peakRss));
        if (run.status != 0) {
            return fail(label + " exited with status " + std::to_string(run.status) + ":\n" +
                        bench::readText(log_));
        }
        if (best != nullptr) best->add(run);
        return true;
    }

    // Whether `directory` holds exactly the expected files, each with its expected digest.
    bool outputsRight(const std::string& directory) {
        std::set<std::string> expected;
        std::set<std::string> found;
        for (const auto& output : facts_.outputs) expected.insert(output.name);
        std::error_code error;
        for (const auto& item : fs::directory_iterator(directory, error))
            found.insert(item.path().filename().string());
        if (error || found != expected) return fail(directory + " holds other files than expected");
        for (const auto& output : facts_.outputs) {
            if (bench::md5OfFile(directory + "/" + output.name) != output.md5)
                return fail(directory + "/" + output.name + " has the wrong digest");
        }
        return true;
    }

    // kx test's verdict line: every sub-file, every byte.
    bool testSaysAllGood(const std::string& text) {
        const std::string verdict = ": OK: " + std::to_string(facts_.entries.size()) +
                                    " sub-files, " + kx::withCommas(facts_.unpackedTotal()) +
                                    " bytes unpacked and verified";
        return text.find(verdict) != std::string::npos || fail("kx test says: " + text);
    }

    bool fail(const std::string& why) {
        std::printf("  FAILED: %s\n", why.c_str());
        return false;
    }

    const Options& options_;
    const bench::FirmwareFacts& facts_;
    std::string container_, source_, manifest_, out_, packed_, gzipped_, log_, edited_, alone_;
    const bench::FirmwareFacts::Output* image_ = nullptr;
    std::vector<std::string> sourceFiles_;
    std::uint64_t gzipBytes_ = 0;
    std::uint64_t packedBytes_ = 0;
};

const char* verdict(bool met) {
    return met ? "goal met" : "goal NOT met";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(
            stderr,
            "usage: %s [--quick] [--round-trip] [--rounds N] [--data DIR] [--container PATH] "
            "[--kestrix PATH] [--kestrix-zlib PATH] [--kx PATH] [--openssl PATH] "
            "[--gzip PATH]\n",
            argv[0]);
        return 2;
    }
    bench::FirmwareFacts facts;
    std::string container = options.container;
    if (container.empty()) {
        container = bench::prepareFirmware(options.data, options.quick, facts);
        if (container.empty()) {
            std::fprintf(stderr, "building the benchmark container failed\n");
            return 1;
        }
    } else if (!bench::loadPreparedContainer(container, facts)) {
        std::fprintf(stderr, "%s or its facts are missing or do not agree\n", container.c_str());
        return 1;
    }
    const bench::FirmwareFacts::Entry& largest = facts.largestEntry();
    std::printf(
        "Container %s: %zu sub-files into %zu files, %.1f MiB unpacked, %.1f MiB packed (zlib -6); "
        "the largest sub-file %.1f MiB unpacked, %.1f MiB packed\n",
        container.c_str(), facts.entries.size(), facts.outputs.size(), mib(facts.unpackedTotal()),
        mib(facts.packedTotal()), mib(facts.largestUnpacked()), mib(facts.largestPacked()));
    const bool withZlib = ::access(options.kestrixZlib.c_str(), X_OK) == 0;
    if (!withZlib) std::printf("No zlib-backend kestrix at %s\n", options.kestrixZlib.c_str());
    const unsigned workers = platform::processorCount();
    std::printf(
        "kx runs with its default workers: %u (one for each processor). A warm-up round runs\n"
        "every command once, so all timed runs read a warm page cache.\n\n",
        workers);

    Bench bench(options, facts, container);
    Best kestrix, kestrixZlib, md5, kxTest, kxExtract, gzip, kxPack, kxPackEdited, kxPackAlone;
    // Each command of a round, where it keeps its best times, and whether the round trip's goals
    // compare it.
    struct Command {
        std::function<bool(Best*)> run;
        Best* best;
        bool roundTrip;
    };
    std::vector<Command> round = {
        {[&](Best* b) { return bench.kestrix(options.kestrix, "kestrix -x", b); }, &kestrix, false},
        {[&](Best* b) { return bench.kxExtract(b); }, &kxExtract, false},
        {[&](Best* b) { return bench.kxTest(b); }, &kxTest, false},
        {[&](Best* b) { return bench.opensslMd5(b); }, &md5, true},
        {[&](Best* b) {
             return !withZlib || bench.kestrix(options.kestrixZlib, "kestrix -x, zlib", b);
         },
         &kestrixZlib, false},
        {[&](Best* b) { return bench.gzip(b); }, &gzip, false},
        {[&](Best* b) { return bench.kxPack(b); }, &kxPack, true},
        {[&](Best* b) { return bench.kxPackChanged(bench.edited(), "kx pack, 1 byte changed", b); },
         &kxPackEdited, true},
        {[&](Best* b) { return bench.kxPackChanged(bench.alone(), "kx pack, image alone", b); },
         &kxPackAlone, true},
    };
    if (options.roundTrip) {
        std::erase_if(round, [](const Command& c) { return !c.roundTrip; });
    }

    const std::string loadBefore = bench::loadAverage();
    std::printf("Warm-up round (load average %s):\n", loadBefore.c_str());
    if (!bench.prepareSource() || !bench.prepareRoundTrips()) return 1;
    for (const Command& command : round) {
        if (!command.run(nullptr)) return 1;
    }
    for (int r = 1; r <= options.rounds; ++r) {
        std::printf("Round %d of %d (load average %s):\n", r, options.rounds,
                    bench::loadAverage().c_str());
        for (const Command& command : round) {
            if (!command.run(command.best)) return 1;
        }
    }
    const std::string loadAfter = bench::loadAverage();
    bench.cleanUp();

    std::printf("\nBest of %d rounds, %.1f MiB unpacked (load average before %s, after %s):\n\n",
                options.rounds, mib(facts.unpackedTotal()), loadBefore.c_str(), loadAfter.c_str());
    std::printf("  %-22s %8s %8s %8s %10s\n", "command", "wall s", "user s", "cpu s", "peak RSS");
    const auto row = [](const char* label, const Best& best) {
        std::printf("  %-22s %8.3f %8.3f %8.3f %6.1f MiB\n", label, best.wall, best.user, best.cpu,
                    mib(best.peakRss));
    };
    if (!options.roundTrip) {
        row("kestrix -x", kestrix);
        if (withZlib) row("kestrix -x, zlib", kestrixZlib);
    }
    row("openssl md5", md5);
    if (!options.roundTrip) {
        row("kx test", kxTest);
        row("kx extract", kxExtract);
        row("gzip -6", gzip);
    }
    row("kx pack --recompress", kxPack);
    row("kx pack, 1 byte changed", kxPackEdited);
    row("kx pack, image alone", kxPackAlone);

    // The goals are on wall time; the cpu-time ratio shows the work, and on N free processors
    // kx's wall-time ratio is at best about its cpu-time ratio / N.
    std::printf("\n  %-34s %7s %7s %7s %10s  %s\n", "ratio of times", "wall", "user", "cpu", "goal",
                "verdict");
    const auto times = [](const char* label, const Best& a, const Best& b, double goal) {
        const double wall = a.wall / b.wall;
        std::printf("  %-34s %7.3f %7.3f %7.3f", label, wall, a.user / b.user, a.cpu / b.cpu);
        if (goal > 0) std::printf("    <= %.2f  %s", goal, verdict(wall <= goal));
        std::printf("\n");
    };
    if (!options.roundTrip) {
        times("kestrix -x / openssl md5", kestrix, md5, 1.5);
        if (withZlib) times("kestrix -x, zlib / libdeflate", kestrixZlib, kestrix, 0);
        times("kx test / openssl md5", kxTest, md5, 0.6);
        times("kx test / kestrix -x", kxTest, kestrix, 0.4);
        times("kx extract / openssl md5", kxExtract, md5, 0.8);
        times("kx extract / kestrix -x", kxExtract, kestrix, 0.5);
        times("kx pack --recompress / gzip -6", kxPack, gzip, 0.3);
    }
    times("1 byte changed / pack --recompress", kxPackEdited, kxPack, 0.25);
    times("1 byte changed / openssl md5", kxPackEdited, md5, 1.0);
    times("image alone / pack --recompress", kxPackAlone, kxPack, 0.15);
    if (options.roundTrip) return 0;

    std::printf("\n  %-34s %9s %12s  %s\n", "peak RSS", "MiB", "bound", "verdict");
    const auto memory = [](const char* label, std::uint64_t peak, std::uint64_t bound) {
        std::printf("  %-34s %9.1f    <= %6.1f  %s\n", label, mib(peak), mib(bound),
                    verdict(peak <= bound));
    };
    memory("kestrix -x", kestrix.peakRss, largest.packed + largest.unpacked + 32 * kMiB);
    // kx's rooms stay within its memory budget (by default a quarter of what it may take, at
    // most 2 GiB); the packed data it reads in place, one sub-file per worker, comes beside them.
    const std::uint64_t budget = platform::defaultMemoryBudget(platform::memoryLimit());
    const std::uint64_t kxBound = budget + workers * facts.largestPacked() + 64 * kMiB;
    memory("kx test", kxTest.peakRss, kxBound);
    memory("kx extract", kxExtract.peakRss, kxBound);

    const double packedRatio =
        static_cast<double>(bench.packedBytes()) / static_cast<double>(bench.gzipBytes());
    std::printf("\n  %-34s %9.3f    <= %6.2f  %s\n", "packed data, kx pack / gzip -6", packedRatio,
                1.0, verdict(packedRatio <= 1.0));
    std::printf(
        "  packed data: kx pack %s bytes (%.1f MiB), gzip -6 %s bytes (%.1f MiB); the container "
        "as built (zlib -6) %.1f MiB\n",
        kx::withCommas(bench.packedBytes()).c_str(), mib(bench.packedBytes()),
        kx::withCommas(bench.gzipBytes()).c_str(), mib(bench.gzipBytes()),
        mib(facts.packedTotal()));
    std::printf(
        "  memory bounds: kestrix, the largest sub-file (%.1f MiB packed + %.1f MiB unpacked) + "
        "32 MiB; kx, its memory budget (%.1f MiB) + %u workers x the largest packed (%.1f MiB) "
        "+ 64 MiB\n",
        mib(largest.packed), mib(largest.unpacked), mib(budget), workers,
        mib(facts.largestPacked()));
    return 0;
}
