// kx extract: what the names choose, what stands in the way, the order of the work, and the
// manifest; the pieces are proven and written into a folder (kx/extract_files.cpp) or to
// standard output (kx/extract_stdout.cpp). A failed output does not stop the others.
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/output_writer.h"
#include "dzlib/reasons.h"
#include "dzlib/survey.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/extract_manifest.h"
#include "kx/extraction.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "kx/report.h"
#include "kx/run_document.h"
#include "kx/text.h"
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

void fail(OutputWork& work, dz::Fault fault, std::uint32_t piece, std::string detail) {
    std::lock_guard<std::mutex> lock(work.failing);
    if (work.broken && work.failedPiece <= piece) return;
    work.fault = fault;
    work.failedPiece = piece;
    work.detail = std::move(detail);
    work.broken = true;
}

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
            extractToStandardOutput(x, jobs, workers, progress, report);
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
