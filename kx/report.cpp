// Reporting the facts about a container.
#include "kx/report.h"

#include <nlohmann/json.hpp>

#include "dzlib/fault.h"
#include "dzlib/reasons.h"
#include "dzlib/records.h"
#include "dzlib/text_field.h"
#include "kx/console.h"
#include "kx/run_document.h"
#include "kx/text.h"

namespace kx {
namespace {

template <std::size_t width>
void addText(nlohmann::ordered_json& json, const char* key, const char (&field)[width]) {
    const std::string_view text = dz::fieldText(field, width);
    json[key] = utf8Text(text);
    json[std::string(key) + "_hex"] = hexOf(text);
}

}  // namespace

nlohmann::ordered_json headerJson(const dz::Survey& survey) {
    const dz::MainHeader& header = survey.header;
    nlohmann::ordered_json json;
    json["status"] = dz::reasonCode(survey.mainHeaderFault);
    json["version"] = std::uint32_t{header.version};
    json["subfile_count"] = std::uint32_t{header.subfileCount};
    addText(json, "phone_model", header.phoneModel);
    addText(json, "internal_name", header.internalName);
    addText(json, "chip", header.chip);
    addText(json, "file_name", header.fileName);
    const std::string time = isoTime(header.creationTime);
    json["creation_time"] =
        time.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(time);
    json["creation_time_raw"] = std::uint64_t{header.creationTime};
    return json;
}

nlohmann::ordered_json tableJson(const dz::Survey& survey) {
    nlohmann::ordered_json json;
    json["status"] = dz::reasonCode(survey.tableFault);
    json["entries"] = survey.plan.entries.size();
    return json;
}

nlohmann::ordered_json entryJson(const dz::Survey& survey, std::uint32_t index) {
    const dz::PlannedEntry& entry = survey.plan.entries[index];
    nlohmann::ordered_json json;
    json["index"] = index + 1;
    json["type"] = std::uint32_t{entry.entry.type};
    json["offset"] = std::uint32_t{entry.entry.offset};
    json["packed_size"] = std::uint32_t{entry.header.packedSize};
    addText(json, "name", entry.header.name);
    const auto [piece, pieces] = dz::pieceOf(survey.plan, index);
    json["output"] = entry.output < 0 ? nlohmann::ordered_json(nullptr)
                                      : nlohmann::ordered_json(utf8Text(entry.outputName));
    json["piece"] = piece;
    json["pieces"] = pieces;
    json["status"] = dz::reasonCode(entry.fault);
    return json;
}

nlohmann::ordered_json surveyJson(const dz::Survey& survey, bool ok) {
    nlohmann::ordered_json json;
    json["container"] = utf8Text(survey.path);
    json["ok"] = ok;
    json["header"] = headerJson(survey);
    json["table"] = tableJson(survey);
    if (survey.cutShort) json["truncated"] = true;
    return json;
}

std::string headerText(const dz::Survey& survey) {
    const dz::MainHeader& header = survey.header;
    const auto line = [](const char* label, const std::string& value) {
        std::string text = label;
        text.resize(15, ' ');
        return text + value + "\n";
    };
    const auto check = [](dz::Fault fault) {
        return fault == dz::Fault::none ? std::string("ok")
                                        : std::string("FAILED: ") + dz::reasonText(fault);
    };
    const std::string time = isoTime(header.creationTime);
    std::string text = line("Container", shown(survey.path));
    text += line("Main header", check(survey.mainHeaderFault));
    text += line("Offset table",
                 check(survey.tableFault) +
                     (survey.tableFault == dz::Fault::none
                          ? " (" + std::to_string(survey.plan.entries.size()) + " entries)"
                          : cutShortHint(survey)));
    text += line("Version", std::to_string(header.version));
    text += line("Phone model", shown(fieldOf(header.phoneModel)));
    text += line("Internal name", shown(fieldOf(header.internalName)));
    text += line("Chip", shown(fieldOf(header.chip)));
    text += line("File name", shown(fieldOf(header.fileName)));
    text += line("Sub-files", std::to_string(header.subfileCount));
    text += line("Created", (time.empty() ? "not a date" : time) + " (file time " +
                                std::to_string(header.creationTime) + ")");
    return text;
}

std::string cutShortHint(const dz::Survey& survey) {
    if (!survey.cutShort) return {};
    return " (the file may be cut short: " +
           withCommas(
               static_cast<std::uint64_t>(std::max<std::int64_t>(survey.container.length(), 0))) +
           " bytes)";
}

bool surveyOrSay(const std::string& path, dz::Survey& survey) {
    std::string error;
    if (dz::surveyContainer(path, survey, error)) return true;
    const char* code = "cannot-open";
    switch (survey.openFailure) {
        case platform::ErrorKind::notFound:
            code = "not-found";
            break;
        case platform::ErrorKind::folder:
        case platform::ErrorKind::notRegularFile:
            code = "not-a-file";
            break;
        default:
            break;
    }
    sayError(shown(path), "cannot open it: " + error, code);
    return false;
}

std::string entryLabel(const dz::Survey& survey, std::uint32_t index) {
    const dz::PlannedEntry& entry = survey.plan.entries[index];
    return "sub-file " + std::to_string(index + 1) + " (" + shown(fieldOf(entry.header.name)) + ")";
}

void printSurveyErrors(const dz::Survey& survey, bool entries) {
    const std::string subject = shown(survey.path);
    if (survey.mainHeaderFault != dz::Fault::none) {
        printError(subject, dz::reasonText(survey.mainHeaderFault));
    }
    if (survey.tableFault != dz::Fault::none) {
        printError(subject, dz::reasonText(survey.tableFault) + cutShortHint(survey));
    }
    if (!entries) return;
    for (std::uint32_t i = 0; i < survey.plan.entries.size(); ++i) {
        const dz::Fault fault = survey.plan.entries[i].fault;
        if (fault != dz::Fault::none) {
            printError(subject, entryLabel(survey, i) + ": " + dz::reasonText(fault));
        }
    }
}

}  // namespace kx
