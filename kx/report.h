// The facts about a container that every command reports, as JSON for scripts and as text for
// people.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "dzlib/survey.h"
#include "dzlib/text_field.h"

namespace kx {

// {"status", "version", "subfile_count", the four text fields each as UTF-8 text and as
// "<field>_hex", "creation_time" (ISO 8601 UTC, or null), "creation_time_raw"}.
nlohmann::ordered_json headerJson(const dz::Survey& survey);

// {"status", "entries"}: the table's check and its entry count.
nlohmann::ordered_json tableJson(const dz::Survey& survey);

// {"index" (from 1), "type", "offset", "packed_size", "name", "name_hex", "output" (or null),
// "piece", "pieces", "status"}: an entry as the survey saw it.
nlohmann::ordered_json entryJson(const dz::Survey& survey, std::uint32_t index);

// The start of every command's JSON document: {"container", "ok", "header", "table"}.
nlohmann::ordered_json surveyJson(const dz::Survey& survey, bool ok);

// The text of a header field, within its width.
template <std::size_t width>
std::string fieldOf(const char (&field)[width]) {
    return std::string(dz::fieldText(field, width));
}

// The header and table as lines of "Name   value" for people.
std::string headerText(const dz::Survey& survey);

// What a failed survey reports on standard error: one line for each fault of the header,
// the table and the entries (an entry's line only when `entries`).
void printSurveyErrors(const dz::Survey& survey, bool entries);

// " (the file may be cut short: N bytes)" when the survey saw the container cut short, else "".
std::string cutShortHint(const dz::Survey& survey);

// Opens and checks the container at `path`; when it cannot be opened, says why on standard
// error and returns false.
bool surveyOrSay(const std::string& path, dz::Survey& survey);

// "sub-file 3 (modem.bin)": an entry as error lines name it.
std::string entryLabel(const dz::Survey& survey, std::uint32_t index);

}  // namespace kx
