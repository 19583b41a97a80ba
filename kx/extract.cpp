// kx extract: the chosen outputs, each proven piece by piece and written whole, into a folder or
// to standard output; a failed output does not stop the others.
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/output_writer.h"
#include "dzlib/reasons.h"
#include "dzlib/survey.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/deferred_writes.h"
#include "kx/extract_manifest.h"
#include "kx/extraction.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "kx/prover.h"
#include "kx/report.h"
#include "kx/run_document.h"
#include "kx/text.h"
#include "kx/unpacker.h"
#include "kx/wildcard.h"
#include "platform/platform.h"

namespace kx {
namespace {

// Temporary files in the output folder are hidden and named after the program.
const char kTemporaryStem[] = ".kx-";

// Marks what the names choose: an entry whose output name or stored name matches, and the whole
// output it is a piece of. False (having said which) when a name matches nothing.
bool choose(Extraction& x) {
    const auto& entries = x.survey.plan.entries;
    x.chosenEntries.assign(entries.size(), x.options.names.empty());
    bool everyNameMatches = true;
    for (const std::string& name : x.options.names) {
        bool matched = false;
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            if (wildcardMatch(name, entries[i].outputName) ||
                wildcardMatch(name, storedName(x.survey, i))) {
                x.chosenEntries[i] = true;
                matched = true;
            }
        }
        if (!matched) {
            sayError(shown(x.survey.path), "nothing in it matches \"" + shown(name) + "\"",
                     "no-match");
            everyNameMatches = false;
        }
    }
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        if (!x.chosenEntries[i] || entries[i].output < 0) continue;
        const auto output = static_cast<std::size_t>(entries[i].output);
        x.outputs[output]->outcome = Outcome::waiting;
        for (std::uint32_t piece : planned(x, output).pieces) x.chosenEntries[piece] = true;
    }
    return everyNameMatches;
}

// The outputs whose pieces failed a check already: they are not unpacked.
void failCheckedOutputs(Extraction& x) {
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        OutputWork& work = *x.outputs[o];
        if (work.outcome != Outcome::waiting) continue;
        for (std::uint32_t piece : planned(x, o).pieces) {
            const dz::Fault fault = x.survey.plan.entries[piece].fault;
            if (fault == dz::Fault::none) continue;
            work.outcome = Outcome::failed;
            work.fault = fault;
            work.failedPiece = piece;
            break;
        }
    }
}

// Finds the chosen outputs whose names exist in the folder: with --keep they are kept, with
// --force replaced; otherwise each is named and false is returned before anything is written.
bool handleExisting(Extraction& x, const std::string& directory) {
    bool clear = true;
    const platform::Directory& folder = x.folder.directory();
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        OutputWork& work = *x.outputs[o];
        if (work.outcome != Outcome::waiting || x.options.force) continue;
        if (!folder.holds(planned(x, o).name.c_str())) continue;
        if (x.options.keep) {
            work.outcome = Outcome::kept;
            // The manifest records a kept file (it is the one to pack); where its pieces meet
            // is known only from their unpacked sizes.
            work.measureOnly = !x.options.manifest.empty() && planned(x, o).pieces.size() > 1;
            continue;
        }
        const bool aFolder = folder.holdsFolder(planned(x, o).name.c_str());
        sayError(shown(outputPath(directory, planned(x, o).name)),
                 aFolder ? "it is a folder" : "it exists (--force replaces it, --keep keeps it)",
                 aFolder ? "not-a-file" : "exists");
        clear = false;
    }
    return clear;
}

// Records a failure of an output: of its failed pieces, the first in table order, whatever
// order the workers found them in.
void fail(OutputWork& work, dz::Fault fault, std::uint32_t piece, std::string detail = {}) {
    std::lock_guard<std::mutex> lock(work.failing);
    if (work.broken && work.failedPiece <= piece) return;
    work.fault = fault;
    work.failedPiece = piece;
    work.detail = std::move(detail);
    work.broken = true;
}

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

// The order pieces are taken in: largest outputs first (so that the workers end together), each
// output's pieces in table order; with --stdout, outputs in table order.
std::vector<Job> jobsOf(const Extraction& x) {
    std::vector<std::size_t> order;
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        if (x.outputs[o]->outcome == Outcome::waiting || x.outputs[o]->measureOnly) {
            order.push_back(o);
        }
    }
    const auto sizeOf = [&](std::size_t o) {
        std::uint64_t size = 0;
        for (std::uint32_t piece : planned(x, o).pieces) {
            size += x.survey.plan.entries[piece].header.packedSize;
        }
        return size;
    };
    if (!x.options.toStandardOutput) {
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return sizeOf(a) > sizeOf(b); });
    }
    std::vector<Job> jobs;
    for (std::size_t o : order) {
        for (std::size_t piece = 0; piece < planned(x, o).pieces.size(); ++piece) {
            jobs.push_back({o, piece});
        }
    }
    return jobs;
}

}  // namespace

int runExtract(const Options& options) {
    if (options.toStandardOutput && platform::standardOutputIsTerminal()) {
        printError("standard output",
                   "it is a terminal: the bytes would go to the screen "
                   "(send them to a file or a pipe)");
        return kExitFailed;
    }
    Extraction x(options);
    if (!surveyOrSay(options.container, x.survey)) return kExitFailed;
    const dz::Survey& survey = x.survey;
    knownSoFar(surveyJson(survey, false));
    const std::string subject = shown(survey.path);
    for (std::size_t o = 0; o < survey.plan.outputs.size(); ++o) {
        x.outputs.push_back(std::make_unique<OutputWork>());
        x.outputs.back()->pieceSizes.assign(survey.plan.outputs[o].pieces.size(), 0);
    }
    if (!choose(x)) return kExitFailed;
    failCheckedOutputs(x);
    // With a manifest, the outputs not chosen are proven too (not written), so that kx pack
    // copies them from the original as they stand without proving them again.
    if (!options.manifest.empty()) {
        for (std::size_t o = 0; o < x.outputs.size(); ++o) {
            OutputWork& work = *x.outputs[o];
            if (work.outcome != Outcome::notChosen) continue;
            const auto& pieces = planned(x, o).pieces;
            work.measureOnly = std::all_of(pieces.begin(), pieces.end(), [&](std::uint32_t piece) {
                return x.survey.plan.entries[piece].fault == dz::Fault::none;
            });
        }
    }

    const std::string directory = options.directory.empty() ? "." : options.directory;
    ManifestWriter manifest(options, survey, directory);
    std::vector<std::string> written;
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        if (x.outputs[o]->outcome == Outcome::waiting) written.push_back(planned(x, o).name);
    }
    if (!manifest.prepare(written)) return kExitFailed;
    if (!options.toStandardOutput) {
        if (!platform::createDirectories(directory.c_str()) ||
            !x.folder.open(directory.c_str(), kTemporaryStem)) {
            sayError(shown(directory),
                     "cannot make or open the folder: " + platform::lastErrorText(),
                     "cannot-write");
            return kExitFailed;
        }
        if (!handleExisting(x, directory)) return kExitFailed;
    }

    // Report items in table order: each chosen output at its first piece, and each chosen
    // entry that is no piece of any output at its own place.
    const auto& entries = survey.plan.entries;
    const bool lines = !options.json && !options.quiet;
    std::size_t nameWidth = 0;
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        if (x.outputs[o]->outcome != Outcome::notChosen) {
            nameWidth = std::max(nameWidth, shown(planned(x, o).name).size());
        }
    }
    InOrder printer(entries.size());
    const bool printed = lines && !options.toStandardOutput;
    const auto report = [&](std::size_t output) {
        const std::uint32_t first = planned(x, output).pieces.front();
        printer.ready(first, [&, output] {
            if (printed && x.outputs[output]->outcome != Outcome::notChosen) {
                printOut(outcomeLine(x, output, nameWidth));
            }
        });
    };
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        const bool firstPiece =
            entries[i].output >= 0 &&
            planned(x, static_cast<std::size_t>(entries[i].output)).pieces.front() == i;
        if (firstPiece) continue;
        printer.ready(i, [&, i] {
            // A chosen entry that is no piece of any output failed its header or name.
            if (printed && x.chosenEntries[i] && entries[i].output < 0) {
                printOut("FAILED     " + shown(storedName(survey, i)) + "  sub-file " +
                         std::to_string(i + 1) + ": " + dz::reasonCode(entries[i].fault) + "\n");
            }
        });
    }
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        const Outcome outcome = x.outputs[o]->outcome;
        if (outcome == Outcome::notChosen || outcome == Outcome::kept ||
            outcome == Outcome::failed) {
            report(o);
        }
    }

    const std::vector<Job> jobs = jobsOf(x);
    {
        std::vector<std::uint64_t> weights(entries.size(), 0);
        for (const Job& job : jobs) {
            const std::uint32_t index = planned(x, job.output).pieces[job.piece];
            weights[index] = entries[index].header.packedSize;
        }
        Progress progress(!options.json && !options.quiet && platform::standardErrorIsTerminal(),
                          std::move(weights));
        const unsigned workers = workersFor(options);
        if (options.toStandardOutput) {
            platform::MemoryBound bound(memoryBoundFor(options));
            std::vector<Unpacker> unpackers;
            const std::size_t count = std::min<std::size_t>(workers, jobs.size() + 1);
            const auto share = static_cast<std::size_t>(
                std::min<std::uint64_t>(bound.limit() / count, kLargestSubfile));
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
        } else {
            extractToFiles(x, jobs, workers, progress, report);
        }
    }

    const bool manifestWritten = manifest.write(
        x.outputs.size(), [&](std::size_t o, std::vector<std::uint64_t>& sizes, bool& proven) {
            const OutputWork& work = *x.outputs[o];
            if (work.outcome == Outcome::kept && !work.measureOnly) {
                // One piece: it takes the whole kept file, whatever its size.
                std::error_code error;
                const std::uintmax_t size = std::filesystem::file_size(
                    pathOfText(directory) / pathOfText(planned(x, o).name), error);
                sizes.assign(1, error ? 0 : size);
                proven = false;
                return true;
            }
            if (work.outcome == Outcome::notChosen) {
                proven = work.measureOnly && !work.broken;
                return false;
            }
            if (work.outcome != Outcome::extracted && work.outcome != Outcome::kept) return false;
            if (work.broken) return false;
            sizes = work.pieceSizes;
            proven = true;
            return true;
        });
    return reportExtraction(x, directory, manifestWritten);
}

}  // namespace kx
