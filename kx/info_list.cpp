// kx info and kx list: what the container's header and table say, and whether they check.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "dzlib/fault.h"
#include "dzlib/reasons.h"
#include "dzlib/survey.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/report.h"
#include "kx/run_document.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace kx {
namespace {

std::string hex8(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// Lines of cells as a table: each column as wide as its widest cell, numbers to the right.
std::string aligned(const std::vector<std::vector<std::string>>& rows,
                    const std::vector<bool>& rightAligned) {
    std::vector<std::size_t> widths(rightAligned.size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::string padding(widths[c] - row[c].size(), ' ');
            if (c > 0) line += "  ";
            line += rightAligned[c] ? padding + row[c] : row[c] + padding;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        text += line + "\n";
    }
    return text;
}

}  // namespace

unsigned workersFor(const Options& options) {
    return options.jobs != 0 ? options.jobs : platform::processorCount();
}

std::uint64_t memoryBoundFor(const Options& options) {
    return options.memory != 0 ? options.memory
                               : platform::defaultMemoryBound(platform::memoryLimit());
}

std::uint64_t memoryBudgetFor(const Options& options) {
    if (options.memory != 0) return options.memory;
    return std::min(platform::defaultMemoryBudget(platform::memoryLimit()),
                    memoryBoundFor(options));
}

int runInfo(const Options& options) {
    dz::Survey survey;
    if (!surveyOrSay(options.container, survey)) return kExitFailed;
    const bool good =
        survey.mainHeaderFault == dz::Fault::none && survey.tableFault == dz::Fault::none;
    if (options.json) {
        printDocument(surveyJson(survey, good));
    } else {
        printOut(headerText(survey));
    }
    printSurveyErrors(survey, /*entries=*/false);
    return good ? kExitGood : kExitFailed;
}

int runList(const Options& options) {
    dz::Survey survey;
    if (!surveyOrSay(options.container, survey)) return kExitFailed;
    const std::size_t count = survey.plan.entries.size();
    if (options.namesOnly) {
        // For scripts the names as they stand (a NUL ends each with -0); a terminal is shown
        // them as text.
        const bool terminal = !options.namesEndNul && platform::standardOutputIsTerminal();
        std::string names;
        for (const dz::PlannedOutput& output : survey.plan.outputs) {
            names += terminal ? shown(output.name) : output.name;
            names += options.namesEndNul ? '\0' : '\n';
        }
        printOut(names);
    } else if (options.json) {
        nlohmann::ordered_json json = surveyJson(survey, survey.good());
        json["entries"] = nlohmann::ordered_json::array();
        for (std::uint32_t i = 0; i < count; ++i) json["entries"].push_back(entryJson(survey, i));
        printDocument(json);
    } else {
        std::vector<std::vector<std::string>> rows = {
            {"#", "type", "offset", "packed", "name", "output", "piece", "check"}};
        for (std::uint32_t i = 0; i < count; ++i) {
            const dz::PlannedEntry& entry = survey.plan.entries[i];
            const nlohmann::ordered_json json = entryJson(survey, i);
            const std::size_t pieces = json["pieces"];
            rows.push_back({std::to_string(i + 1), std::to_string(entry.entry.type),
                            hex8(entry.entry.offset), withCommas(entry.header.packedSize),
                            shown(fieldOf(entry.header.name)),
                            entry.output < 0 ? "-" : shown(entry.outputName),
                            pieces == 0 ? "-"
                                        : std::to_string(json["piece"].get<std::size_t>()) + "/" +
                                              std::to_string(pieces),
                            dz::reasonCode(entry.fault)});
        }
        printOut(aligned(rows, {true, true, false, true, false, false, false, false}));
    }
    printSurveyErrors(survey, /*entries=*/true);
    return survey.good() ? kExitGood : kExitFailed;
}

}  // namespace kx
