// What kx extract keeps while it runs: the outputs of the plan and how each goes, shared by the
// run (kx/extract.cpp, kx/extract_files.cpp, kx/extract_stdout.cpp) and its report
// (kx/extract_report.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dzlib/output_writer.h"
#include "dzlib/plan.h"
#include "dzlib/survey.h"
#include "kx/commands.h"
#include "kx/output_assembly.h"
#include "kx/report.h"

namespace kx {

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
    std::vector<std::unique_ptr<OutputAssembly>> outputs;
    std::vector<bool> chosenEntries;
    dz::OutputFolder folder;
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
