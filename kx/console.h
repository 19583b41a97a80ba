// kx's output: results on standard output, errors and progress on standard error, lines ended
// with LF.
#pragma once

#include <string>
#include <string_view>

namespace kx {

// Writes the text to standard output as it stands. The first write that fails is remembered
// with the system's reason (see standardOutputFailure).
void printOut(std::string_view text);

// The system's reason for the first failed printOut of the run ("No space left on device",
// "Broken pipe"), or empty when every one was written.
std::string standardOutputFailure();

// Writes "kx: SUBJECT: WHAT" and a line end to standard error.
void printError(std::string_view subject, std::string_view what);

// Container text as a terminal or a log may show it: control characters shown as '?' (and C1
// controls too when standard output is a UTF-8 terminal).
std::string shown(std::string_view text);

}  // namespace kx
