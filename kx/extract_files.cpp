// kx extract into a folder: the chosen outputs' pieces proven side by side, each written at its
// place in its output's temporary file as it is digested, and each output moved into place whole.
#include <algorithm>
#include <functional>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/survey.h"
#include "kx/deferred_writes.h"
#include "kx/extraction.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "kx/prover.h"
#include "platform/platform.h"

namespace kx {

// Proves the pieces of `jobs` and writes each at its place in its output's temporary file, a
// slice at a time as it is digested. A piece's place is known once the pieces before it are
// inflated, so a piece is begun only then; their digests and writes go on side by side. The last
// piece of an output to end moves the whole output into place, or drops it when a piece failed (a
// digest that does not match is known only at the piece's end).
void extractToFiles(Extraction& x, const std::vector<Job>& jobs, unsigned workers,
                    Progress& progress, const std::function<void(std::size_t)>& report) {
    const auto& entries = x.survey.plan.entries;
    std::vector<const Job*> jobOf(entries.size(), nullptr);
    std::vector<std::uint64_t> placeOf(entries.size(), 0);
    std::vector<std::uint32_t> order;
    for (const Job& job : jobs) {
        const std::uint32_t index = planned(x, job.output).pieces[job.piece];
        jobOf[index] = &job;
        order.push_back(index);
        ++x.outputs[job.output]->unfinished;
    }
    ProverCalls calls;
    calls.started = [&](std::uint32_t index) {
        progress.working(index, storedName(x.survey, index));
    };
    calls.after = [&](std::uint32_t index) -> std::int64_t {
        const Job& job = *jobOf[index];
        if (job.piece == 0) return -1;
        return planned(x, job.output).pieces[job.piece - 1];
    };
    calls.inflated = [&](std::uint32_t index, const Proof& proof) {
        const Job& job = *jobOf[index];
        OutputWork& work = *x.outputs[job.output];
        if (proof.fault == dz::Fault::none) progress.sized(index, proof.length);
        work.turns.await(job.piece);
        placeOf[index] = work.nextOffset;
        if (proof.fault != dz::Fault::none) {
            fail(work, proof.fault, index);
        } else if (!work.broken) {
            work.pieceSizes[job.piece] = proof.length;
            work.nextOffset += proof.length;
        }
        work.turns.done(job.piece);
    };
    const auto begin = [&](const Job& job, OutputWork& work) {
        std::call_once(work.begun, [&] {
            work.pending = x.folder.begin(planned(x, job.output).name, &x.survey.container);
            // Why it could not begin is taken at once: on Windows the calls that follow (the
            // locks' own) may clear the last error.
            if (!work.pending.isOpen()) {
                fail(work, dz::Fault::write, planned(x, job.output).pieces[job.piece],
                     platform::lastErrorText());
            }
        });
    };
    DeferredWrites writes(entries.size());
    const auto writerOf = [&placeOf](std::uint32_t index, OutputWork& work) {
        return [&placeOf, &work, index](std::uint64_t at, const std::uint8_t* bytes,
                                        std::size_t length) {
            return work.broken || work.pending.writeAt(placeOf[index] + at, bytes, length);
        };
    };
    calls.digested = [&](std::uint32_t index, std::uint64_t at, const std::uint8_t* bytes,
                         std::size_t length) {
        const Job& job = *jobOf[index];
        OutputWork& work = *x.outputs[job.output];
        progress.done(index, at, length);
        if (work.broken || work.measureOnly) return;
        begin(job, work);
        if (!writes.add(work.writing, index, at, bytes, length, writerOf(index, work))) {
            fail(work, dz::Fault::write, index, platform::lastErrorText());
        }
    };
    calls.proven = [&](std::uint32_t index, const Proof& proof, const std::uint8_t*) {
        const Job& job = *jobOf[index];
        OutputWork& work = *x.outputs[job.output];
        if (work.measureOnly) {
            progress.ended(index);
            if (proof.fault != dz::Fault::none) fail(work, proof.fault, index);
            work.unfinished.fetch_sub(1, std::memory_order_acq_rel);
            return;
        }
        if (!writes.finish(work.writing, index, writerOf(index, work))) {
            fail(work, dz::Fault::write, index, platform::lastErrorText());
        }
        progress.ended(index);
        if (proof.fault != dz::Fault::none) {
            fail(work, proof.fault, index);
        } else if (!work.broken) {
            begin(job, work);  // an output of empty pieces has none written
        }
        if (work.unfinished.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        // Without --force, a file that another program made at the name since the run began is
        // left as it is: the move into place refuses to replace anything.
        const dz::Existing existing =
            x.options.force ? dz::Existing::replace : dz::Existing::refuse;
        bool taken = false;
        if (!work.broken && !work.pending.commit(existing)) {
            taken = work.pending.nameTaken();
            if (!taken) fail(work, dz::Fault::write, index, platform::lastErrorText());
        }
        if (work.broken) work.pending.discard();
        if (taken) {
            const char* name = planned(x, job.output).name.c_str();
            work.detail = x.folder.directory().holdsFolder(name)
                              ? "it is a folder"
                              : "it exists (--force replaces it, --keep keeps it)";
            work.outcome = x.options.keep ? Outcome::kept : Outcome::exists;
        } else {
            work.outcome = work.broken ? Outcome::failed : Outcome::extracted;
        }
        report(job.output);
    };
    platform::MemoryBound bound(memoryBoundFor(x.options));
    proveEntries(x.survey, order, workers, sharedRoomFor(x.survey, order, workers), calls, &bound);
}

}  // namespace kx
