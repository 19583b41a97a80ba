// What a run tells a script with --json: one JSON document on standard output on every exit.
// A command prints its own document when it gets that far; a run that ends before (the
// container cannot be opened, a name matches nothing, a manifest is refused, ...) gets one made
// of what it knew and the errors it said: {..., "ok": false, "error": {"subject", "reason",
// "code"}, "errors": [every one]}.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kx {

// Says an error: "kx: SUBJECT: REASON" on standard error ("kx: REASON" unless `subjectShown`), and
// keeps it, with its `code`, for a document of the run's failure.
void sayError(std::string_view subject, std::string_view reason, std::string_view code,
              bool subjectShown = true);

// What the run knows so far, for a document of its failure (by default {"container": ...}).
void knownSoFar(nlohmann::ordered_json known);

// Prints the command's own document.
void printDocument(const nlohmann::ordered_json& document);

// At the run's end, with --json: when no document was printed, prints the document of its
// failure (said errors; else `subject` and "failed").
void endDocument(bool json, std::string_view subject);

}  // namespace kx
