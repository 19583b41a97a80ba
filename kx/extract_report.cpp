// The report of kx extract: what failed on standard error, and the verdict or the JSON document.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "dzlib/reasons.h"
#include "kx/console.h"
#include "kx/extraction.h"
#include "kx/run_document.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace kx {
namespace {

using Json = nlohmann::ordered_json;

Json outputJson(const Extraction& x, std::size_t output) {
    const OutputAssembly& work = *x.outputs[output];
    Json pieces = Json::array();
    for (std::uint32_t piece : planned(x, output).pieces) pieces.push_back(piece + 1);
    const char* status = work.outcome() == Outcome::extracted ? "ok"
                         : work.outcome() == Outcome::kept    ? "kept"
                         : work.outcome() == Outcome::exists  ? "exists"
                                                              : dz::reasonCode(work.fault());
    return Json{{"name", utf8Text(planned(x, output).name)},
                {"pieces", pieces},
                {"size", work.outcome() == Outcome::extracted ? Json(work.size()) : Json(nullptr)},
                {"status", status},
                {"failed_entry",
                 work.outcome() == Outcome::failed ? Json(work.failedEntry() + 1) : Json(nullptr)}};
}

}  // namespace

std::string outcomeLine(const Extraction& x, std::size_t output, std::size_t nameWidth) {
    const OutputAssembly& work = *x.outputs[output];
    const std::string name = shown(planned(x, output).name);
    std::string line;
    switch (work.outcome()) {
        case Outcome::extracted:
            line = "extracted  " + name + std::string(nameWidth - name.size(), ' ') + "  " +
                   withCommas(work.size()) + " bytes";
            if (work.pieceSizes().size() > 1) {
                line += " in " + std::to_string(work.pieceSizes().size()) + " pieces";
            }
            break;
        case Outcome::kept:
            line = "kept       " + name + std::string(nameWidth - name.size(), ' ') + "  it exists";
            break;
        case Outcome::exists:
            line = "FAILED     " + name + std::string(nameWidth - name.size(), ' ') + "  it exists";
            break;
        default:
            line = "FAILED     " + name + std::string(nameWidth - name.size(), ' ') +
                   "  sub-file " + std::to_string(work.failedEntry() + 1) + ": " +
                   dz::reasonCode(work.fault());
            break;
    }
    return line + "\n";
}

namespace {

// What the run came to: whether everything chosen went well, and the counts of the verdict.
struct Tally {
    bool good = true;
    std::size_t extracted = 0, failed = 0, chosen = 0;
    std::uint64_t bytes = 0;
};

// Says on standard error what failed, and counts the chosen outputs by how they went.
Tally sayFailures(const Extraction& x, const std::string& directory) {
    const dz::Survey& survey = x.survey;
    const auto& entries = survey.plan.entries;
    const std::string subject = shown(survey.path);
    Tally tally;
    tally.good = survey.mainHeaderFault == dz::Fault::none && survey.tableFault == dz::Fault::none;
    printSurveyErrors(survey, /*entries=*/false);
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        if (!x.chosenEntries[i]) continue;
        if (entries[i].output < 0) {
            tally.good = false;
            printError(subject, entryLabel(survey, i) + ": " + dz::reasonText(entries[i].fault));
            continue;
        }
        const auto o = static_cast<std::size_t>(entries[i].output);
        if (planned(x, o).pieces.front() != i) continue;
        const OutputAssembly& work = *x.outputs[o];
        ++tally.chosen;
        if (work.outcome() == Outcome::extracted) {
            ++tally.extracted;
            tally.bytes += work.size();
        } else if (work.outcome() == Outcome::failed) {
            ++tally.failed;
            tally.good = false;
            std::string what =
                entryLabel(survey, work.failedEntry()) + ": " + dz::reasonText(work.fault());
            if (!work.detail().empty()) what += ": " + work.detail();
            printError(subject, shown(planned(x, o).name) + ": " + what);
        } else if (work.outcome() == Outcome::exists) {
            ++tally.failed;
            tally.good = false;
            printError(shown(outputPath(directory, planned(x, o).name)), work.detail());
        }
    }
    return tally;
}

// The JSON document: the chosen outputs, and the chosen entries with what became of each.
Json extractionJson(const Extraction& x, const std::string& directory, bool good) {
    const Options& options = x.options;
    const dz::Survey& survey = x.survey;
    const auto& entries = survey.plan.entries;
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
        Json entry = entryJson(survey, i);
        entry["unpacked_size"] = nullptr;
        if (entries[i].output >= 0) {
            const OutputAssembly& work = *x.outputs[static_cast<std::size_t>(entries[i].output)];
            const auto& pieces = work.pieces();
            const auto at = std::find(pieces.begin(), pieces.end(), i) - pieces.begin();
            if (work.outcome() == Outcome::extracted) {
                entry["unpacked_size"] = work.pieceSizes()[static_cast<std::size_t>(at)];
            } else if (work.outcome() == Outcome::failed && work.failedEntry() == i) {
                entry["status"] = dz::reasonCode(work.fault());
            }
        }
        json["entries"].push_back(entry);
    }
    return json;
}

// "a.dz: OK: 2 outputs, 4,410 bytes, into out", or what failed.
std::string verdictLine(const Extraction& x, const std::string& directory, const Tally& tally) {
    std::string verdict = shown(x.survey.path) + (tally.good ? ": OK: " : ": FAILED: ");
    if (!tally.good && tally.failed > 0)
        verdict += std::to_string(tally.failed) + " of " + std::to_string(tally.chosen) +
                   " outputs failed; ";
    verdict += std::to_string(tally.extracted) + " output" + (tally.extracted == 1 ? "" : "s") +
               ", " + withCommas(tally.bytes) + " bytes, " +
               (x.options.toStandardOutput ? "to standard output" : "into " + shown(directory));
    return verdict + "\n";
}

}  // namespace

int reportExtraction(const Extraction& x, const std::string& directory, bool manifestWritten) {
    const Options& options = x.options;
    Tally tally = sayFailures(x, directory);
    tally.good = tally.good && manifestWritten;
    if (options.json) {
        printDocument(extractionJson(x, directory, tally.good));
    } else if (!options.quiet || !tally.good) {
        const std::string line = verdictLine(x, directory, tally);
        if (options.toStandardOutput) {
            platform::standardErrorWrite(line.data(), line.size());
        } else {
            printOut(line);
        }
    }
    return tally.good ? kExitGood : kExitFailed;
}

}  // namespace kx
