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
        x.outputs[output]->choose();
        for (std::uint32_t piece : planned(x, output).pieces) x.chosenEntries[piece] = true;
    }
    return everyNameMatches;
}

// The outputs whose pieces failed a check already: they are not unpacked.
void failCheckedOutputs(Extraction& x) {
    for (const std::unique_ptr<OutputAssembly>& output : x.outputs) {
        if (output->outcome() != Outcome::waiting) continue;
        const auto& pieces = output->pieces();
        for (std::size_t piece = 0; piece < pieces.size(); ++piece) {
            const dz::Fault fault = x.survey.plan.entries[pieces[piece]].fault;
            if (fault == dz::Fault::none) continue;
            output->failChecked(piece, fault);
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
        OutputAssembly& output = *x.outputs[o];
        if (output.outcome() != Outcome::waiting || x.options.force) continue;
        if (!folder.holds(planned(x, o).name.c_str())) continue;
        if (x.options.keep) {
            // The manifest records a kept file (it is the one to pack); where its pieces meet
            // is known only from their unpacked sizes.
            output.keepExisting(!x.options.manifest.empty() && planned(x, o).pieces.size() > 1);
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
        if (x.outputs[o]->outcome() == Outcome::waiting || x.outputs[o]->measureOnly()) {
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

// Makes an assembly for each output of the plan, and marks what the names choose, the outputs
// that failed a check already, and, with a manifest, the outputs not chosen that are proven
// all the same (not written), so that kx pack copies them from the original as they stand
// without proving them again. False when a name matches nothing.
bool prepareOutputs(Extraction& x) {
    for (const dz::PlannedOutput& output : x.survey.plan.outputs) {
        x.outputs.push_back(std::make_unique<OutputAssembly>(output.pieces));
    }
    if (!choose(x)) return false;
    failCheckedOutputs(x);
    if (x.options.manifest.empty()) return true;
    for (const std::unique_ptr<OutputAssembly>& output : x.outputs) {
        if (output->outcome() != Outcome::notChosen) continue;
        const auto& pieces = output->pieces();
        if (std::all_of(pieces.begin(), pieces.end(), [&](std::uint32_t piece) {
                return x.survey.plan.entries[piece].fault == dz::Fault::none;
            })) {
            output->measure();
        }
    }
    return true;
}

// The names of the outputs the run writes.
std::vector<std::string> writtenNames(const Extraction& x) {
    std::vector<std::string> written;
    for (std::size_t o = 0; o < x.outputs.size(); ++o) {
        if (x.outputs[o]->outcome() == Outcome::waiting) written.push_back(planned(x, o).name);
    }
    return written;
}

// Makes and opens the output folder, and deals with the outputs whose names exist in it. False,
// having said why, when the run cannot go on.
bool openFolder(Extraction& x, const std::string& directory) {
    if (!platform::createDirectories(directory.c_str()) ||
        !x.folder.open(directory.c_str(), kTemporaryStem)) {
        sayError(shown(directory), "cannot make or open the folder: " + platform::lastErrorText(),
                 "cannot-write");
        return false;
    }
    return handleExisting(x, directory);
}

// The lines for people, in table order whatever order the work ends in: each chosen output's
// at its first piece, and each chosen entry that is no piece of any output at its own place.
class ReportLines {
  public:
    explicit ReportLines(const Extraction& x)
        : x_(x),
          printed_(!x.options.json && !x.options.quiet && !x.options.toStandardOutput),
          printer_(x.survey.plan.entries.size()) {
        for (std::size_t o = 0; o < x.outputs.size(); ++o) {
            if (x.outputs[o]->outcome() != Outcome::notChosen) {
                nameWidth_ = std::max(nameWidth_, shown(planned(x, o).name).size());
            }
        }
    }

    // Output `output` has ended: its line, once those before it are printed.
    void output(std::size_t output) {
        const std::uint32_t first = planned(x_, output).pieces.front();
        printer_.ready(first, [this, output] {
            if (printed_ && x_.outputs[output]->outcome() != Outcome::notChosen) {
                printOut(outcomeLine(x_, output, nameWidth_));
            }
        });
    }

    // Every place that is no output's first piece, and every output that ends before any work:
    // not chosen, kept, or failed already.
    void readyWithoutWork() {
        const auto& entries = x_.survey.plan.entries;
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            const bool firstPiece =
                entries[i].output >= 0 &&
                planned(x_, static_cast<std::size_t>(entries[i].output)).pieces.front() == i;
            if (firstPiece) continue;
            printer_.ready(i, [this, i] {
                // A chosen entry that is no piece of any output failed its header or name.
                const auto& entry = x_.survey.plan.entries[i];
                if (printed_ && x_.chosenEntries[i] && entry.output < 0) {
                    printOut("FAILED     " + shown(storedName(x_.survey, i)) + "  sub-file " +
                             std::to_string(i + 1) + ": " + dz::reasonCode(entry.fault) + "\n");
                }
            });
        }
        for (std::size_t o = 0; o < x_.outputs.size(); ++o) {
            const Outcome outcome = x_.outputs[o]->outcome();
            if (outcome == Outcome::notChosen || outcome == Outcome::kept ||
                outcome == Outcome::failed) {
                output(o);
            }
        }
    }

  private:
    const Extraction& x_;
    const bool printed_;
    std::size_t nameWidth_ = 0;
    InOrder printer_;
};

// Proves the pieces of the chosen (and measured) outputs, and writes them into the folder or to
// standard output, with a progress line on a terminal.
void extractChosen(Extraction& x, ReportLines& lines) {
    const auto& entries = x.survey.plan.entries;
    const std::vector<Job> jobs = jobsOf(x);
    std::vector<std::uint64_t> weights(entries.size(), 0);
    for (const Job& job : jobs) {
        const std::uint32_t index = planned(x, job.output).pieces[job.piece];
        weights[index] = entries[index].header.packedSize;
    }
    Progress progress(!x.options.json && !x.options.quiet && platform::standardErrorIsTerminal(),
                      std::move(weights));
    const unsigned workers = workersFor(x.options);
    const auto report = [&lines](std::size_t output) { lines.output(output); };
    if (x.options.toStandardOutput) {
        extractToStandardOutput(x, jobs, workers, progress, report);
    } else {
        extractToFiles(x, jobs, workers, progress, report);
    }
}

// Writes the manifest, when one is asked for: the piece sizes of each output written or kept.
bool writeManifest(ManifestWriter& manifest, const Extraction& x, const std::string& directory) {
    return manifest.write(
        x.outputs.size(), [&](std::size_t o, std::vector<std::uint64_t>& sizes, bool& proven) {
            const OutputAssembly& output = *x.outputs[o];
            if (output.outcome() == Outcome::kept && !output.measureOnly()) {
                // One piece: it takes the whole kept file, whatever its size.
                std::error_code error;
                const std::uintmax_t size = std::filesystem::file_size(
                    pathOfText(directory) / pathOfText(planned(x, o).name), error);
                sizes.assign(1, error ? 0 : size);
                proven = false;
                return true;
            }
            if (output.outcome() == Outcome::notChosen) {
                proven = output.measureOnly() && !output.failed();
                return false;
            }
            if (output.outcome() != Outcome::extracted && output.outcome() != Outcome::kept) {
                return false;
            }
            if (output.failed()) return false;
            sizes = output.pieceSizes();
            proven = true;
            return true;
        });
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
    knownSoFar(surveyJson(x.survey, false));
    if (!prepareOutputs(x)) return kExitFailed;
    const std::string directory = options.directory.empty() ? "." : options.directory;
    ManifestWriter manifest(options, x.survey, directory);
    if (!manifest.prepare(writtenNames(x))) return kExitFailed;
    if (!options.toStandardOutput && !openFolder(x, directory)) return kExitFailed;
    ReportLines lines(x);
    lines.readyWithoutWork();
    extractChosen(x, lines);
    const bool manifestWritten = writeManifest(manifest, x, directory);
    return reportExtraction(x, directory, manifestWritten);
}

}  // namespace kx
