// What kx extract keeps while it runs: the outputs of the plan and how each goes, shared by the
// run (kx/extract.cpp, kx/extract_files.cpp, kx/extract_stdout.cpp) and its report
// (kx/extract_report.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/output_writer.h"
#include "dzlib/plan.h"
#include "dzlib/survey.h"
#include "kx/commands.h"
#include "kx/parallel.h"
#include "kx/report.h"

namespace kx {

// `exists`: a file was made at the output's name by another program while the run went on, and
// is left as it is.
enum class Outcome { notChosen, waiting, extracted, kept, failed, exists };

// One output of the plan as the extraction goes.
struct OutputWork {
    Outcome outcome = Outcome::notChosen;
    // Its pieces are unpacked and proven, and nothing is written: a kept output of several
    // pieces whose piece sizes the manifest needs, or, with a manifest, an output not chosen.
    bool measureOnly = false;
    dz::Fault fault = dz::Fault::none;
    std::uint32_t failedPiece = 0;  // the entry that failed
    std::string detail;             // the system's reason for a failed write
    std::vector<std::uint64_t> pieceSizes;
    dz::PendingOutput pending;
    std::once_flag begun;  // the temporary file is made by the first piece that is proven
    // Pieces learn where they go in table order (each after the lengths of those before it),
    // then are written side by side; the last to end moves the output into place.
    Turns turns;
    std::uint64_t nextOffset = 0;
    std::atomic<std::size_t> unfinished{0};
    std::atomic<bool> broken{false};
    std::mutex failing;  // held while a failure is recorded
    std::mutex writing;  // held while a piece's bytes go into the temporary file
};

// Records a failure of an output: of its failed pieces, the first in table order, whatever
// order the workers found them in.
void fail(OutputWork& work, dz::Fault fault, std::uint32_t piece, std::string detail = {});

// One piece to prove and write.
struct Job {
    std::size_t output;
    std::size_t piece;  // its place among the output's pieces
};

// What a run extracts: each output of the plan, and which entries and outputs the names chose.
struct Extraction {
    explicit Extraction(const Options& chosen) : options(chosen) {}
    const Options& options;
    dz::Survey survey;
    std::vector<std::unique_ptr<OutputWork>> outputs;
    std::vector<bool> chosenEntries;
    dz::OutputFolder folder;
    Turns streamTurns;  // with --stdout, every piece in one order
    std::atomic<bool> streamBroken{false};
};

inline const dz::PlannedOutput& planned(const Extraction& x, std::size_t output) {
    return x.survey.plan.outputs[output];
}

inline std::string storedName(const dz::Survey& survey, std::uint32_t index) {
    return fieldOf(survey.plan.entries[index].header.name);
}

// The path of output `name` in `directory`, as messages name it.
inline std::string outputPath(const std::string& directory, const std::string& name) {
    return (std::filesystem::path(directory) / name).string();
}

inline std::uint64_t sizeOf(const OutputWork& work) {
    std::uint64_t size = 0;
    for (std::uint64_t piece : work.pieceSizes) size += piece;
    return size;
}

// The line of an output for people, in its table-order place: "extracted  NAME  SIZE bytes",
// "kept  NAME  it exists" or "FAILED  NAME  sub-file N: CODE"; `nameWidth` aligns the names.
std::string outcomeLine(const Extraction& x, std::size_t output, std::size_t nameWidth);

// Says on standard error what failed, prints the verdict or the JSON document, and returns the
// exit status.
int reportExtraction(const Extraction& x, const std::string& directory, bool manifestWritten);

class Progress;

// Proves the pieces of `jobs` and writes them into their outputs in the folder, each output
// moved into place whole; `report(output)` as each output ends.
void extractToFiles(Extraction& x, const std::vector<Job>& jobs, unsigned workers,
                    Progress& progress, const std::function<void(std::size_t)>& report);

// Proves the pieces of `jobs` and writes them to standard output in their order; nothing after
// a failure. `report(output)` as each output ends.
void extractToStandardOutput(Extraction& x, const std::vector<Job>& jobs, unsigned workers,
                             Progress& progress, const std::function<void(std::size_t)>& report);

}  // namespace kx
