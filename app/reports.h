// The two read-only views of a container, shown on request after their record passed its check.
#pragma once

#include "app/run_state.h"

namespace app {

// Prints the main header: version, phone model, internal name, creation time in local time,
// chip, file name and sub-file count.
void reportMainHeader(RunState& state);

// Prints one line for each offset-table entry: its number, type and header offset.
void reportOffsetTable(RunState& state);

}  // namespace app
