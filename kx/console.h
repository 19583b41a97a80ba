// kx's output: results on standard output, errors and the status line (progress) on standard
// error, lines ended with LF. One lock owns the terminal: the status line is taken away before
// any other line is written and drawn again after it, so that the two never mix.
#pragma once

#include <cstddef>
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
// Writes "kx: WHAT" and a line end to standard error.
void printLine(std::string_view what);

// Draws `line` as the status line at the foot of standard error, in place of the one drawn
// before; an empty line takes it away. Used only when standard error is a terminal.
void showStatus(std::string_view line);

// Container text as a terminal or a log may show it: control characters shown as '?' (and C1
// controls too when standard output is a UTF-8 terminal).
std::string shown(std::string_view text);

// The columns a UTF-8 text takes on a terminal (one for each character), and the text cut to at
// most `columns` of them, never inside a character.
std::size_t columnsOf(std::string_view text);
std::string_view cutToColumns(std::string_view text, std::size_t columns);

}  // namespace kx
