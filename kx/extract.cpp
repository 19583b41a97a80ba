// kx extract: the chosen outputs, each proven piece by piece and written whole, into a folder or
// to standard output; a failed output does not stop the others.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "dzlib/fault.h"
#include "dzlib/output_writer.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/extract_manifest.h"
#include "kx/inspection.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "kx/reasons.h"
#include "kx/report.h"
#include "kx/text.h"
#include "kx/unpacker.h"
#include "kx/wildcard.h"
#include "platform/platform.h"

namespace kx {
namespace {

using Json = nlohmann::ordered_json;

// Temporary files in the output folder are hidden and named after the program.
const char kTemporaryStem[] = ".kx-";

enum class Outcome { notChosen, waiting, extracted, kept, failed };

// One output of the plan as the extraction goes.
struct OutputWork {
    Outcome outcome = Outcome::notChosen;
    dz::Fault fault = dz::Fault::none;
    std::uint32_t failedPiece = 0;  // the entry that failed
    std::string detail;             // the system's reason for a failed write
    std::vector<std::uint64_t> pieceSizes;
    dz::PendingOutput pending;
    Turns turns;  // its pieces are written in table order
    std::atomic<bool> broken{false};
};

// One piece to prove and write.
struct Job {
    std::size_t output;
    std::size_t piece;  // its place among the output's pieces
};

// What a run extracts: each output of the plan, and which entries and outputs the names chose.
struct Extraction {
    const Options& options;
    Inspection inspection;
    std::vector<std::unique_ptr<OutputWork>> outputs;
    std::vector<bool> chosenEntries;
    dz::OutputFolder folder;
    Turns streamTurns;  // with --stdout, every piece in one order
    std::atomic<bool> streamBroken{false};
};

const dz::PlannedOutput& planned(const Extraction& x, std::size_t output) {
    return x.inspection.plan.outputs[output];
}

std::string storedName(const Inspection& inspection, std::uint32_t index) {
    return fieldOf(inspection.plan.entries[index].header.name);
}

// Marks what the names choose: an entry whose output name or stored name matches, and the whole
// output it is a piece of. False (having said which) when a name matches nothing.
bool choose(Extraction& x) {
    const auto& entries = x.inspection.plan.entries;
    x.chosenEntries.assign(entries.size(), x.options.names.empty());
    bool everyNameMatches = true;
    for (const std::string& name : x.options.names) {
        bool matched = false;
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            if (wildcardMatch(name, entries[i].outputName) ||
                wildcardMatch(name, storedName(x.inspection, i))) {
                x.chosenEntries[i] = true;
                matched = true;
            }
        }
        if (!matched) {
            printError(shown(x.inspection.path), "nothing in it matches \"" + shown(name) + "\"");
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
            const dz::Fault fault = x.inspection.plan.entries[piece].fault;
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
            continue;
        }
        const std::filesystem::path path = std::filesystem::path(directory) / planned(x, o).name;
        printError(shown(path.string()), "it exists (--force replaces it, --keep keeps it)");
        clear = false;
    }
    return clear;
}

// Records the first failure of an output.
void fail(OutputWork& work, dz::Fault fault, std::uint32_t piece, std::string detail = {}) {
    if (work.broken.exchange(true)) return;
    work.fault = fault;
    work.failedPiece = piece;
    work.detail = std::move(detail);
}

// Writes a proven piece where it goes; false when it cannot be written.
bool writePiece(Extraction& x, const Job& job, const Unpacker& unpacker, std::string& detail) {
    OutputWork& work = *x.outputs[job.output];
    if (x.options.toStandardOutput) {
        if (platform::standardOutputWrite(unpacker.bytes(), unpacker.length())) return true;
        detail = "standard output: " + platform::lastErrorText();
        return false;
    }
    if (job.piece == 0)
        work.pending = x.folder.begin(planned(x, job.output).name, &x.inspection.container);
    if (work.pending.append(unpacker.bytes(), unpacker.length()) &&
        (job.piece + 1 < planned(x, job.output).pieces.size() || work.pending.commit())) {
        return true;
    }
    detail = platform::lastErrorText();
    return false;
}

// Proves piece `job` and writes it in its turn. Pieces of an output that already failed are
// neither unpacked nor written; with --stdout, nothing after a failure is.
void runJob(Extraction& x, const Job& job, std::size_t jobNumber, Unpacker& unpacker,
            Progress& progress) {
    OutputWork& work = *x.outputs[job.output];
    const std::uint32_t index = planned(x, job.output).pieces[job.piece];
    const bool stream = x.options.toStandardOutput;
    const auto skipped = [&] { return work.broken || (stream && x.streamBroken); };
    if (stream && x.streamBroken && !work.broken) {
        // The stream has a hole where an earlier output failed: nothing after it is written.
        fail(work, dz::Fault::write, index, "not written after an earlier output failed");
    }

    dz::Fault fault = dz::Fault::none;
    if (!skipped()) {
        const dz::PlannedEntry& entry = x.inspection.plan.entries[index];
        progress.working(storedName(x.inspection, index));
        fault = unpacker.unpack(x.inspection, index);
        progress.add(entry.header.packedSize);
    }
    Turns& turns = stream ? x.streamTurns : work.turns;
    const std::size_t turn = stream ? jobNumber : job.piece;
    turns.await(turn);
    if (fault != dz::Fault::none) {
        fail(work, fault, index);
    } else if (!skipped()) {
        std::string detail;
        if (writePiece(x, job, unpacker, detail)) {
            work.pieceSizes[job.piece] = unpacker.length();
        } else {
            fail(work, dz::Fault::write, index, detail);
        }
    }
    if (stream && work.broken) x.streamBroken = true;
    if (job.piece + 1 == planned(x, job.output).pieces.size()) {
        work.outcome = work.broken ? Outcome::failed : Outcome::extracted;
        if (work.broken) work.pending.discard();
    }
    turns.done(turn);
}

// The order pieces are taken in: largest outputs first (so that the workers end together), each
// output's pieces in table order; with --stdout, outputs in table order.
std::vector<Job> jobsOf(const Extraction& x) {
    std::vector<std::size_t> order;
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        if (x.outputs[o]->outcome == Outcome::waiting) order.push_back(o);
    }
    const auto sizeOf = [&](std::size_t o) {
        std::uint64_t size = 0;
        for (std::uint32_t piece : planned(x, o).pieces) {
            size += x.inspection.plan.entries[piece].header.packedSize;
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

std::uint64_t sizeOf(const OutputWork& work) {
    std::uint64_t size = 0;
    for (std::uint64_t piece : work.pieceSizes) size += piece;
    return size;
}

// One line for an output, or for a chosen entry that is no piece of any output.
std::string outcomeLine(const Extraction& x, std::size_t output, std::size_t nameWidth) {
    const OutputWork& work = *x.outputs[output];
    const std::string name = shown(planned(x, output).name);
    std::string line;
    switch (work.outcome) {
        case Outcome::extracted:
            line = "extracted  " + name + std::string(nameWidth - name.size(), ' ') + "  " +
                   withCommas(sizeOf(work)) + " bytes";
            if (work.pieceSizes.size() > 1) {
                line += " in " + std::to_string(work.pieceSizes.size()) + " pieces";
            }
            break;
        case Outcome::kept:
            line = "kept       " + name + std::string(nameWidth - name.size(), ' ') + "  it exists";
            break;
        default:
            line = "FAILED     " + name + std::string(nameWidth - name.size(), ' ') +
                   "  sub-file " + std::to_string(work.failedPiece + 1) + ": " +
                   reasonCode(work.fault);
            break;
    }
    return line + "\n";
}

Json outputJson(const Extraction& x, std::size_t output) {
    const OutputWork& work = *x.outputs[output];
    Json pieces = Json::array();
    for (std::uint32_t piece : planned(x, output).pieces) pieces.push_back(piece + 1);
    const char* status = work.outcome == Outcome::extracted ? "ok"
                         : work.outcome == Outcome::kept    ? "kept"
                                                            : reasonCode(work.fault);
    return Json{{"name", utf8Text(planned(x, output).name)},
                {"pieces", pieces},
                {"size", work.outcome == Outcome::extracted ? Json(sizeOf(work)) : Json(nullptr)},
                {"status", status},
                {"failed_entry",
                 work.outcome == Outcome::failed ? Json(work.failedPiece + 1) : Json(nullptr)}};
}

}  // namespace

int runExtract(const Options& options) {
    if (options.toStandardOutput && platform::standardOutputIsTerminal()) {
        printError("standard output",
                   "it is a terminal: the bytes would go to the screen "
                   "(send them to a file or a pipe)");
        return kExitFailed;
    }
    Extraction x{options, {}, {}, {}, {}, {}, {}};
    if (!inspectOrSay(options.container, x.inspection)) return kExitFailed;
    const Inspection& inspection = x.inspection;
    const std::string subject = shown(inspection.path);
    for (std::size_t o = 0; o < inspection.plan.outputs.size(); ++o) {
        x.outputs.push_back(std::make_unique<OutputWork>());
        x.outputs.back()->pieceSizes.assign(inspection.plan.outputs[o].pieces.size(), 0);
    }
    if (!choose(x)) return kExitFailed;
    failCheckedOutputs(x);

    const std::string directory = options.directory.empty() ? "." : options.directory;
    ManifestWriter manifest(options, inspection, directory);
    if (!manifest.prepare()) return kExitFailed;
    if (!options.toStandardOutput) {
        if (!platform::createDirectories(directory.c_str()) ||
            !x.folder.open(directory.c_str(), kTemporaryStem)) {
            printError(shown(directory),
                       "cannot make or open the folder: " + platform::lastErrorText());
            return kExitFailed;
        }
        if (!handleExisting(x, directory)) return kExitFailed;
    }

    // Report items in table order: each chosen output at its first piece, and each chosen
    // entry that is no piece of any output at its own place.
    const auto& entries = inspection.plan.entries;
    const bool lines = !options.json && !options.quiet;
    std::size_t nameWidth = 0;
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        if (x.outputs[o]->outcome != Outcome::notChosen) {
            nameWidth = std::max(nameWidth, shown(planned(x, o).name).size());
        }
    }
    InOrder printer(entries.size());
    std::vector<bool> reported(entries.size(), false);
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
                printOut("FAILED     " + shown(storedName(inspection, i)) + "  sub-file " +
                         std::to_string(i + 1) + ": " + reasonCode(entries[i].fault) + "\n");
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
        std::uint64_t total = 0;
        for (const Job& job : jobs)
            total += entries[planned(x, job.output).pieces[job.piece]].header.packedSize;
        Progress progress(!options.json && !options.quiet && platform::standardErrorIsTerminal(),
                          total);
        std::vector<Unpacker> unpackers(
            std::min<std::size_t>(workersFor(options), jobs.size() + 1));
        runInParallel(jobs.size(), static_cast<unsigned>(unpackers.size()),
                      [&](std::size_t k, unsigned worker) {
                          runJob(x, jobs[k], k, unpackers[worker], progress);
                          if (jobs[k].piece + 1 == planned(x, jobs[k].output).pieces.size()) {
                              report(jobs[k].output);
                          }
                      });
    }

    // What failed, and the verdict.
    bool good =
        inspection.mainHeaderFault == dz::Fault::none && inspection.tableFault == dz::Fault::none;
    printInspectionErrors(inspection, /*entries=*/false);
    std::size_t extracted = 0, failed = 0, chosen = 0;
    std::uint64_t bytes = 0;
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        if (!x.chosenEntries[i]) continue;
        if (entries[i].output < 0) {
            good = false;
            printError(subject, entryLabel(inspection, i) + ": " + reasonText(entries[i].fault));
            continue;
        }
        const auto o = static_cast<std::size_t>(entries[i].output);
        if (planned(x, o).pieces.front() != i) continue;
        const OutputWork& work = *x.outputs[o];
        ++chosen;
        if (work.outcome == Outcome::extracted) {
            ++extracted;
            bytes += sizeOf(work);
        } else if (work.outcome == Outcome::failed) {
            ++failed;
            good = false;
            std::string what =
                entryLabel(inspection, work.failedPiece) + ": " + reasonText(work.fault);
            if (!work.detail.empty()) what += ": " + work.detail;
            printError(subject, shown(planned(x, o).name) + ": " + what);
        }
    }
    const bool manifestWritten =
        manifest.write(x.outputs.size(), [&](std::size_t o, std::vector<std::uint64_t>& sizes) {
            if (x.outputs[o]->outcome != Outcome::extracted) return false;
            sizes = x.outputs[o]->pieceSizes;
            return true;
        });
    good = good && manifestWritten;

    if (options.json) {
        Json json;
        json["container"] = utf8Text(options.container);
        json["ok"] = good;
        json["directory"] = options.toStandardOutput ? Json(nullptr) : Json(utf8Text(directory));
        json["outputs"] = Json::array();
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            if (!x.chosenEntries[i] || entries[i].output < 0) continue;
            const auto o = static_cast<std::size_t>(entries[i].output);
            if (planned(x, o).pieces.front() == i) json["outputs"].push_back(outputJson(x, o));
        }
        json["entries"] = Json::array();
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            if (!x.chosenEntries[i]) continue;
            Json entry = entryJson(inspection, i);
            entry["unpacked_size"] = nullptr;
            if (entries[i].output >= 0) {
                const OutputWork& work = *x.outputs[static_cast<std::size_t>(entries[i].output)];
                const auto& pieces = planned(x, static_cast<std::size_t>(entries[i].output)).pieces;
                const auto at = std::find(pieces.begin(), pieces.end(), i) - pieces.begin();
                if (work.outcome == Outcome::extracted) {
                    entry["unpacked_size"] = work.pieceSizes[static_cast<std::size_t>(at)];
                } else if (work.outcome == Outcome::failed && work.failedPiece == i) {
                    entry["status"] = reasonCode(work.fault);
                }
            }
            json["entries"].push_back(entry);
        }
        printOut(json.dump(2) + "\n");
    } else if (!options.quiet || !good) {
        std::string verdict = subject + (good ? ": OK: " : ": FAILED: ");
        if (!good && failed > 0)
            verdict +=
                std::to_string(failed) + " of " + std::to_string(chosen) + " outputs failed; ";
        verdict += std::to_string(extracted) + " output" + (extracted == 1 ? "" : "s") + ", " +
                   withCommas(bytes) + " bytes, " +
                   (options.toStandardOutput ? "to standard output" : "into " + shown(directory));
        const std::string line = verdict + "\n";
        if (options.toStandardOutput) {
            platform::standardErrorWrite(line.data(), line.size());
        } else {
            printOut(line);
        }
    }
    return good ? kExitGood : kExitFailed;
}

}  // namespace kx
