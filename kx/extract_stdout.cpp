// kx extract --stdout: the chosen outputs' pieces proven and written to standard output one
// after the other, in table order, each once it is proven; nothing after a failure.
#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/survey.h"
#include "dzlib/unpacker.h"
#include "kx/extraction.h"
#include "kx/output_assembly.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "platform/platform.h"

namespace kx {
namespace {

// Unpacks and proves entry `index` unless `skipped`, counting it in the progress line.
dz::Fault unpackPiece(const Extraction& x, std::uint32_t index, bool skipped,
                      dz::Unpacker& unpacker, Progress& progress) {
    if (skipped) return dz::Fault::none;
    progress.working(index, storedName(x.survey, index));
    const dz::Fault fault = unpacker.unpack(x.survey, index);
    if (fault == dz::Fault::none) progress.sized(index, unpacker.length());
    return fault;
}

// Writes the piece in `unpacker` to standard output a slice at a time, counting each.
bool writeInSlices(const dz::Unpacker& unpacker, std::uint32_t index, Progress& progress) {
    constexpr std::size_t kSlice = 4u << 20;
    for (std::size_t at = 0; at < unpacker.length(); at += kSlice) {
        const std::size_t length = std::min(kSlice, unpacker.length() - at);
        if (!platform::standardOutputWrite(unpacker.bytes() + at, length)) return false;
        progress.done(index, at, length);
    }
    return true;
}

// Writes piece `job`, unpacked into `unpacker` with `fault`, to standard output in its turn: the
// pieces of all chosen outputs go out one after the other, and nothing after a failure does
// (`broken`). True when it was its output's last piece, which settles the output.
bool writeInTurn(Extraction& x, std::atomic<bool>& broken, const Job& job, dz::Fault fault,
                 dz::Unpacker& unpacker, Progress& progress) {
    OutputAssembly& output = *x.outputs[job.output];
    const std::uint32_t index = planned(x, job.output).pieces[job.piece];
    if ((fault == dz::Fault::unpackedMemory || fault == dz::Fault::packedMemory) && !broken) {
        // The workers ahead of it held memory: in its turn, the pieces before it are written and
        // their workers keep little, so it is tried once more.
        unpacker.trim(0);
        fault = unpacker.unpack(x.survey, index);
    }
    if (broken) {
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
    if (output.failed()) broken = true;
    return output.end(job.piece, dz::Fault::none);
}

}  // namespace

// Each worker unpacks a piece into an unpacker lent to it in job order, and leaves the piece to
// be written in its turn (by whichever worker finds the pieces before it written); the unpacker
// is given back once it is. A worker never waits for an unpacker that only a later job holds.
void extractToStandardOutput(Extraction& x, const std::vector<Job>& jobs, unsigned workers,
                             Progress& progress, const std::function<void(std::size_t)>& report) {
    platform::MemoryBound bound(memoryBoundFor(x.options));
    std::vector<dz::Unpacker> unpackers;
    const std::size_t count = std::min<std::size_t>(workers, jobs.size() + 1);
    const auto share = static_cast<std::size_t>(
        std::min<std::uint64_t>(bound.limit() / count, dz::kLargestSubfile));
    for (std::size_t i = 0; i < count; ++i) unpackers.emplace_back(&bound, share);
    // A worker keeps no more than half its share from one piece to the next.
    const std::size_t idleKeep = share / 2;
    std::atomic<bool> broken{false};
    Rooms lender(unpackers.size());
    InOrder writer(jobs.size());
    runInParallel(
        jobs.size(), static_cast<unsigned>(unpackers.size()), [&](std::size_t k, unsigned) {
            const std::size_t room = lender.take(k);
            const Job& job = jobs[k];
            const dz::Fault fault = unpackPiece(x, planned(x, job.output).pieces[job.piece], broken,
                                                unpackers[room], progress);
            writer.ready(k, [&, k, room, fault] {
                const bool last = writeInTurn(x, broken, jobs[k], fault, unpackers[room], progress);
                unpackers[room].trim(idleKeep);
                lender.give(room);
                if (last) report(jobs[k].output);
            });
        });
}

}  // namespace kx
