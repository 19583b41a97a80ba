// The document of a run's failure, made of what it knew and the errors it said.
#include "kx/run_document.h"

#include <mutex>
#include <vector>

#include "kx/console.h"
#include "kx/text.h"

namespace kx {

namespace {

std::mutex held;  // guards what follows
nlohmann::ordered_json knownJson;
nlohmann::ordered_json errorsJson = nlohmann::ordered_json::array();
bool printed = false;

}  // namespace

void sayError(std::string_view subject, std::string_view reason, std::string_view code,
              bool subjectShown) {
    if (subjectShown) {
        printError(subject, reason);
    } else {
        printLine(reason);
    }
    nlohmann::ordered_json error;
    error["subject"] = utf8Text(subject);
    error["reason"] = utf8Text(reason);
    error["code"] = std::string(code);
    std::lock_guard<std::mutex> lock(held);
    errorsJson.push_back(std::move(error));
}

void knownSoFar(nlohmann::ordered_json known) {
    std::lock_guard<std::mutex> lock(held);
    knownJson = std::move(known);
}

void printDocument(const nlohmann::ordered_json& document) {
    {
        std::lock_guard<std::mutex> lock(held);
        printed = true;
    }
    printOut(document.dump(2) + "\n");
}

void endDocument(bool json, std::string_view subject) {
    nlohmann::ordered_json document;
    {
        std::lock_guard<std::mutex> lock(held);
        if (!json || printed) return;
        document = knownJson.is_object() ? knownJson : nlohmann::ordered_json::object();
        if (!document.contains("container") && !subject.empty()) {
            document["container"] = utf8Text(subject);
        }
        document["ok"] = false;
        nlohmann::ordered_json errors = errorsJson;
        if (errors.empty()) {
            errors.push_back(
                {{"subject", utf8Text(subject)}, {"reason", "failed"}, {"code", "failed"}});
        }
        document["error"] = errors.front();
        document["errors"] = errors;
    }
    printDocument(document);
}

}  // namespace kx
