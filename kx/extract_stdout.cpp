// kx extract --stdout: the chosen outputs' pieces proven and written to standard output one
// after the other, in table order, each once it is proven; nothing after a failure.
#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/survey.h"
#include "kx/extraction.h"
#include "kx/output_assembly.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "kx/unpacker.h"
#include "platform/platform.h"

namespace kx {
namespace {

// Unpacks and proves entry `index` unless `skipped`, counting it in the progress line.
dz::Fault unpackPiece(const Extraction& x, std::uint32_t index, bool skipped, Unpacker& unpacker,
                      Progress& progress) {
    if (skipped) return dz::Fault::none;
    progress.working(index, storedName(x.survey, index));
    const dz::Fault fault = unpacker.unpack(x.survey, index);
    if (fault == dz::Fault::none) progress.sized(index, unpacker.length());
    return fault;
}

// Writes the piece in `unpacker` to standard output a slice at a time, counting each.
bool writeInSlices(const Unpacker& unpacker, std::uint32_t index, Progress& progress) {
    constexpr std::size_t kSlice = 4u << 20;
    for (std::size_t at = 0; at < unpacker.length(); at += kSlice) {
        const std::size_t length = std::min(kSlice, unpacker.length() - at);
        if (!platform::standardOutputWrite(unpacker.bytes() + at, length)) return false;
        progress.done(index, at, length);
    }
    return true;
}

// The stream on standard output: the pieces of all chosen outputs one after the other, each in
// its turn, and nothing after a failure.
struct Stream {
    Turns turns;  // by job number
    std::atomic<bool> broken{false};
};

// Proves piece `job` and writes it to standard output in its turn. True when it was its
// output's last piece, which settles the output.
bool streamJob(Extraction& x, Stream& stream, const Job& job, std::size_t jobNumber,
               Unpacker& unpacker, Progress& progress, std::size_t idleKeep) {
    OutputAssembly& output = *x.outputs[job.output];
    const std::uint32_t index = planned(x, job.output).pieces[job.piece];
    dz::Fault fault = unpackPiece(x, index, stream.broken, unpacker, progress);
    stream.turns.await(jobNumber);
    if ((fault == dz::Fault::unpackedMemory || fault == dz::Fault::packedMemory) &&
        !stream.broken) {
        // The workers ahead of it held memory: in its turn, the pieces before it are written and
        // their workers keep little, so it is tried once more.
        unpacker.trim(0);
        fault = unpacker.unpack(x.survey, index);
    }
    if (stream.broken) {
        // The stream has a hole where an earlier output failed: nothing after it is written.
        output.fail(job.piece, dz::Fault::write, "not written after an earlier output failed");
    } else if (fault != dz::Fault::none) {
        output.fail(job.piece, fault);
    } else if (writeInSlices(unpacker, index, progress)) {
        output.place(job.piece, dz::Fault::none, unpacker.length());
    } else {
        output.fail(job.piece, dz::Fault::write, "standard output: " + platform::lastErrorText());
    }
    progress.ended(index);
    if (output.failed()) stream.broken = true;
    const bool last = output.end(job.piece, dz::Fault::none);
    unpacker.trim(idleKeep);
    stream.turns.done(jobNumber);
    return last;
}

}  // namespace

void extractToStandardOutput(Extraction& x, const std::vector<Job>& jobs, unsigned workers,
                             Progress& progress, const std::function<void(std::size_t)>& report) {
    platform::MemoryBound bound(memoryBoundFor(x.options));
    std::vector<Unpacker> unpackers;
    const std::size_t count = std::min<std::size_t>(workers, jobs.size() + 1);
    const auto share =
        static_cast<std::size_t>(std::min<std::uint64_t>(bound.limit() / count, kLargestSubfile));
    for (std::size_t i = 0; i < count; ++i) unpackers.emplace_back(&bound, share);
    // A worker keeps no more than half its share from one piece to the next.
    const std::size_t idleKeep = share / 2;
    Stream stream;
    runInParallel(jobs.size(), static_cast<unsigned>(unpackers.size()),
                  [&](std::size_t k, unsigned worker) {
                      if (streamJob(x, stream, jobs[k], k, unpackers[worker], progress, idleKeep)) {
                          report(jobs[k].output);
                      }
                  });
}

}  // namespace kx
