// The command line: tokens and options.
#pragma once

#include "app/run_state.h"

namespace app {

// Splits one command-line text in place into `table`: tokens are separated by spaces only; a
// token that starts with a double quote runs to the next double quote (or the end of the text)
// and the quotes are dropped. Each token is cut out by writing a zero where it ends. More than
// kMaxTokens tokens set `overflow`.
void splitCommandLine(char* text, ArgumentTable& table);

// Fills `table` from the process's arguments: the whole command line split on Windows, the
// arguments as the shell gave them elsewhere.
void loadCommandLine(int argc, char** argv, ArgumentTable& table);

// Takes the option tokens (those starting with '-') out of the table from entry 1 on and sets
// the flags from their second character: h header, o table, x extract, in either case.
void applyOptions(ArgumentTable& table, RunFlags& flags);

}  // namespace app
