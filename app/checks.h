// The check stages: each runs a container check and, when it fails, prints its one error line.
#pragma once

#include <cstdint>

#include "app/run_state.h"
#include "dzlib/fault.h"

namespace app {

// The main header at 0. Fails with "Invalid markers in main header." or "Invalid MD5 hash in
// main header.".
bool checkMainHeader(RunState& state);

// The offset table at the end of the container. Fails with "Invalid end marker in
// offset-table.", "Invalid begin marker or size in offset-table.", "Invalid MD5 hash in
// offset-table." or, when the count claims more entries than the body holds, "Invalid entry
// count in offset-table.".
bool checkOffsetTable(RunState& state);

// The header of table entry `index`, as the extraction plan read it; it becomes the run's
// current sub-file header. Fails with "Invalid marker in subfile-header." or "Invalid MD5 hash
// in subfile-header.".
bool checkSubfileHeader(RunState& state, std::uint32_t index);

// Prints the error line for `fault`, naming the sub-file `name` where the line has a name.
void reportFault(RunState& state, dz::Fault fault, const char* name = "");

}  // namespace app
