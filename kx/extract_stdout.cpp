// kx extract --stdout: the chosen outputs' pieces proven and written to standard output one
// after the other, in table order, each once it is proven; nothing after a failure.
#include <algorithm>
#include <functional>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/survey.h"
#include "kx/extraction.h"
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

// Proves piece `job` and writes it to standard output in its turn: the pieces of all chosen
// outputs go out one after the other, and nothing after a failure does.
void streamJob(Extraction& x, const Job& job, std::size_t jobNumber, Unpacker& unpacker,
               Progress& progress, std::size_t idleKeep) {
    OutputWork& work = *x.outputs[job.output];
    const std::uint32_t index = planned(x, job.output).pieces[job.piece];
    dz::Fault fault = unpackPiece(x, index, x.streamBroken, unpacker, progress);
    x.streamTurns.await(jobNumber);
    if ((fault == dz::Fault::unpackedMemory || fault == dz::Fault::packedMemory) &&
        !x.streamBroken) {
        // The workers ahead of it held memory: in its turn, the pieces before it are written and
        // their workers keep little, so it is tried once more.
        unpacker.trim(0);
        fault = unpacker.unpack(x.survey, index);
    }
    if (x.streamBroken) {
        // The stream has a hole where an earlier output failed: nothing after it is written.
        fail(work, dz::Fault::write, index, "not written after an earlier output failed");
    } else if (fault != dz::Fault::none) {
        fail(work, fault, index);
    } else if (writeInSlices(unpacker, index, progress)) {
        work.pieceSizes[job.piece] = unpacker.length();
    } else {
        fail(work, dz::Fault::write, index, "standard output: " + platform::lastErrorText());
    }
    progress.ended(index);
    if (work.broken) x.streamBroken = true;
    if (job.piece + 1 == planned(x, job.output).pieces.size()) {
        work.outcome = work.broken ? Outcome::failed : Outcome::extracted;
    }
    unpacker.trim(idleKeep);
    x.streamTurns.done(jobNumber);
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
    runInParallel(jobs.size(), static_cast<unsigned>(unpackers.size()),
                  [&](std::size_t k, unsigned worker) {
                      const Job& job = jobs[k];
                      streamJob(x, job, k, unpackers[worker], progress, idleKeep);
                      if (job.piece + 1 == planned(x, job.output).pieces.size()) {
                          report(job.output);
                      }
                  });
}

}  // namespace kx
