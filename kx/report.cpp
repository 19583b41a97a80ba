// Reporting the facts about a container.
#include "kx/report.h"

#include <nlohmann/json.hpp>

#include "dzlib/fault.h"
#include "dzlib/records.h"
#include "dzlib/text_field.h"
#include "kx/console.h"
#include "kx/reasons.h"
#include "kx/text.h"

namespace kx {
namespace {

template <std::size_t width>
void addText(nlohmann::ordered_json& json, const char* key, const char (&field)[width]) {
    const std::string_view text = dz::fieldText(field, width);
    json[key] = utf8Text(text);
    json[std::string(key) + "_hex"] = hexOf(text);
}

// The output an entry is a piece of, and which piece: 0 of 0 when it is none.
std::pair<std::size_t, std::size_t> pieceOf(const Inspection& inspection, std::uint32_t index) {
    const dz::PlannedEntry& entry = inspection.plan.entries[index];
    if (entry.output < 0) return {0, 0};
    const auto& pieces = inspection.plan.outputs[static_cast<std::size_t>(entry.output)].pieces;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i] == index) return {i + 1, pieces.size()};
    }
    return {0, 0};
}

}  // namespace

nlohmann::ordered_json headerJson(const Inspection& inspection) {
    const dz::MainHeader& header = inspection.header;
    nlohmann::ordered_json json;
    json["status"] = reasonCode(inspection.mainHeaderFault);
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

nlohmann::ordered_json tableJson(const Inspection& inspection) {
    nlohmann::ordered_json json;
    json["status"] = reasonCode(inspection.tableFault);
    json["entries"] = inspection.plan.entries.size();
    return json;
}

nlohmann::ordered_json entryJson(const Inspection& inspection, std::uint32_t index) {
    const dz::PlannedEntry& entry = inspection.plan.entries[index];
    nlohmann::ordered_json json;
    json["index"] = index + 1;
    json["type"] = std::uint32_t{entry.entry.type};
    json["offset"] = std::uint32_t{entry.entry.offset};
    json["packed_size"] = std::uint32_t{entry.header.packedSize};
    addText(json, "name", entry.header.name);
    const auto [piece, pieces] = pieceOf(inspection, index);
    json["output"] = entry.output < 0 ? nlohmann::ordered_json(nullptr)
                                      : nlohmann::ordered_json(utf8Text(entry.outputName));
    json["piece"] = piece;
    json["pieces"] = pieces;
    json["status"] = reasonCode(entry.fault);
    return json;
}

nlohmann::ordered_json inspectionJson(const Inspection& inspection, bool ok) {
    nlohmann::ordered_json json;
    json["container"] = utf8Text(inspection.path);
    json["ok"] = ok;
    json["header"] = headerJson(inspection);
    json["table"] = tableJson(inspection);
    return json;
}

std::string headerText(const Inspection& inspection) {
    const dz::MainHeader& header = inspection.header;
    const auto line = [](const char* label, const std::string& value) {
        std::string text = label;
        text.resize(15, ' ');
        return text + value + "\n";
    };
    const auto check = [](dz::Fault fault) {
        return fault == dz::Fault::none ? std::string("ok")
                                        : std::string("FAILED: ") + reasonText(fault);
    };
    const std::string time = isoTime(header.creationTime);
    std::string text = line("Container", shown(inspection.path));
    text += line("Main header", check(inspection.mainHeaderFault));
    text += line("Offset table",
                 check(inspection.tableFault) +
                     (inspection.tableFault == dz::Fault::none
                          ? " (" + std::to_string(inspection.plan.entries.size()) + " entries)"
                          : ""));
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

bool inspectOrSay(const std::string& path, Inspection& inspection) {
    std::string error;
    if (inspect(path, inspection, error)) return true;
    printError(shown(path), "cannot open it: " + error);
    return false;
}

std::string entryLabel(const Inspection& inspection, std::uint32_t index) {
    const dz::PlannedEntry& entry = inspection.plan.entries[index];
    return "sub-file " + std::to_string(index + 1) + " (" + shown(fieldOf(entry.header.name)) + ")";
}

void printInspectionErrors(const Inspection& inspection, bool entries) {
    const std::string subject = shown(inspection.path);
    if (inspection.mainHeaderFault != dz::Fault::none) {
        printError(subject, reasonText(inspection.mainHeaderFault));
    }
    if (inspection.tableFault != dz::Fault::none) {
        printError(subject, reasonText(inspection.tableFault));
    }
    if (!entries) return;
    for (std::uint32_t i = 0; i < inspection.plan.entries.size(); ++i) {
        const dz::Fault fault = inspection.plan.entries[i].fault;
        if (fault != dz::Fault::none) {
            printError(subject, entryLabel(inspection, i) + ": " + reasonText(fault));
        }
    }
}

}  // namespace kx
