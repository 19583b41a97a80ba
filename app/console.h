// Console output: every line the program shows goes through here.
#pragma once

#include <initializer_list>

#include "app/format.h"
#include "app/run_state.h"

namespace app {

// Writes the bytes of a zero-terminated text as they stand, adding nothing.
void writeConsole(const char* text);

// The line forms. Each formats prefix, text and CR LF into the message buffer and writes it.
// A status line starts " [", the status square, "] "; an error line " [x] "; a detail line has
// no prefix (its text carries its own indent).
void statusLine(RunState& state, const char* format, std::initializer_list<FormatArg> args = {});
void errorLine(RunState& state, const char* format, std::initializer_list<FormatArg> args = {});
void detailLine(RunState& state, const char* format, std::initializer_list<FormatArg> args = {});

// The status prefix: the byte 0xFE as a Windows console shows it (a small filled square), or
// that square in UTF-8 for a terminal that shows UTF-8.
const char* statusPrefix(bool utf8Terminal);

}  // namespace app
