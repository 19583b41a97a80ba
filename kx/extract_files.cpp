// kx extract into a folder: the chosen outputs' pieces proven side by side, each written at its
// place in its output's temporary file as it is digested, and each output moved into place whole.
#include <algorithm>
#include <functional>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/prover.h"
#include "dzlib/survey.h"
#include "kx/extraction.h"
#include "kx/output_assembly.h"
#include "kx/progress.h"
#include "platform/platform.h"

namespace kx {

// Proves the pieces of `jobs` and writes each at its place in its output's file, a slice at a
// time as it is digested. A piece's place is known once the pieces before it are inflated, so a
// piece is begun only then (its predecessor for the prover is the piece before it); their
// digests and writes go on side by side. The last piece of an output to end moves the whole
// output into place, or drops it when a piece failed (a digest that does not match is known only
// at the piece's end).
void extractToFiles(Extraction& x, const std::vector<Job>& jobs, unsigned workers,
                    Progress& progress, const std::function<void(std::size_t)>& report) {
    const auto& entries = x.survey.plan.entries;
    std::vector<const Job*> jobOf(entries.size(), nullptr);
    std::vector<std::int64_t> predecessors(entries.size(), -1);
    std::vector<std::uint32_t> order;
    for (const Job& job : jobs) {
        const auto& pieces = planned(x, job.output).pieces;
        const std::uint32_t index = pieces[job.piece];
        jobOf[index] = &job;
        order.push_back(index);
        if (job.piece != 0) predecessors[index] = pieces[job.piece - 1];
    }
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        OutputAssembly& output = *x.outputs[o];
        if (output.outcome() != Outcome::waiting || output.measureOnly()) continue;
        output.writeTo({.folder = &x.folder,
                        .name = planned(x, o).name,
                        .guarded = &x.survey.container,
                        .force = x.options.force,
                        .keep = x.options.keep});
    }
    const auto assemblyOf = [&](std::uint32_t index) -> OutputAssembly& {
        return *x.outputs[jobOf[index]->output];
    };
    dz::ProverCalls calls;
    calls.started = [&](std::uint32_t index) {
        progress.working(index, storedName(x.survey, index));
    };
    calls.inflated = [&](std::uint32_t index, const dz::Proof& proof) {
        if (proof.fault == dz::Fault::none) progress.sized(index, proof.length);
        assemblyOf(index).place(jobOf[index]->piece, proof.fault, proof.length);
    };
    calls.digested = [&](std::uint32_t index, std::uint64_t at, const std::uint8_t* bytes,
                         std::size_t length) {
        progress.done(index, at, length);
        assemblyOf(index).write(jobOf[index]->piece, at, bytes, length);
    };
    calls.proven = [&](std::uint32_t index, const dz::Proof& proof, const std::uint8_t*) {
        progress.ended(index);
        const Job& job = *jobOf[index];
        OutputAssembly& output = assemblyOf(index);
        if (output.end(job.piece, proof.fault) && !output.measureOnly()) report(job.output);
    };
    platform::MemoryBound bound(memoryBoundFor(x.options));
    dz::proveEntries(x.survey, order, predecessors, workers,
                     dz::sharedRoomFor(x.survey, order, workers, memoryBudgetFor(x.options)), calls,
                     &bound);
}

}  // namespace kx
