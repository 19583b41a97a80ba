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
    const OutputWork& work = *x.outputs[output];
    Json pieces = Json::array();
    for (std::uint32_t piece : planned(x, output).pieces) pieces.push_back(piece + 1);
    const char* status = work.outcome == Outcome::extracted ? "ok"
                         : work.outcome == Outcome::kept    ? "kept"
                         : work.outcome == Outcome::exists  ? "exists"
                                                            : dz::reasonCode(work.fault);
    return Json{{"name", utf8Text(planned(x, output).name)},
                {"pieces", pieces},
                {"size", work.outcome == Outcome::extracted ? Json(sizeOf(work)) : Json(nullptr)},
                {"status", status},
                {"failed_entry",
                 work.outcome == Outcome::failed ? Json(work.failedPiece + 1) : Json(nullptr)}};
}

}  // namespace

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
        case Outcome::exists:
            line = "FAILED     " + name + std::string(nameWidth - name.size(), ' ') + "  it exists";
            break;
        default:
            line = "FAILED     " + name + std::string(nameWidth - name.size(), ' ') +
                   "  sub-file " + std::to_string(work.failedPiece + 1) + ": " +
                   dz::reasonCode(work.fault);
            break;
    }
    return line + "\n";
}

int reportExtraction(const Extraction& x, const std::string& directory, bool manifestWritten) {
    const Options& options = x.options;
    const dz::Survey& survey = x.survey;
    const auto& entries = survey.plan.entries;
    const std::string subject = shown(survey.path);
    // What failed, and the verdict.
    bool good = survey.mainHeaderFault == dz::Fault::none && survey.tableFault == dz::Fault::none;
    printSurveyErrors(survey, /*entries=*/false);
    std::size_t extracted = 0, failed = 0, chosen = 0;
    std::uint64_t bytes = 0;
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        if (!x.chosenEntries[i]) continue;
        if (entries[i].output < 0) {
            good = false;
            printError(subject, entryLabel(survey, i) + ": " + dz::reasonText(entries[i].fault));
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
                entryLabel(survey, work.failedPiece) + ": " + dz::reasonText(work.fault);
            if (!work.detail.empty()) what += ": " + work.detail;
            printError(subject, shown(planned(x, o).name) + ": " + what);
        } else if (work.outcome == Outcome::exists) {
            ++failed;
            good = false;
            printError(shown(outputPath(directory, planned(x, o).name)), work.detail);
        }
    }
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
            Json entry = entryJson(survey, i);
            entry["unpacked_size"] = nullptr;
            if (entries[i].output >= 0) {
                const OutputWork& work = *x.outputs[static_cast<std::size_t>(entries[i].output)];
                const auto& pieces = planned(x, static_cast<std::size_t>(entries[i].output)).pieces;
                const auto at = std::find(pieces.begin(), pieces.end(), i) - pieces.begin();
                if (work.outcome == Outcome::extracted) {
                    entry["unpacked_size"] = work.pieceSizes[static_cast<std::size_t>(at)];
                } else if (work.outcome == Outcome::failed && work.failedPiece == i) {
                    entry["status"] = dz::reasonCode(work.fault);
                }
            }
            json["entries"].push_back(entry);
        }
        printDocument(json);
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
