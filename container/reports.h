// The two read-only views of a container, shown on request after their record passed its check.
#pragma once

#include "app/run_state.h"

namespace container {

// Prints the main header: version, phone model, internal name, creation time in local time,
// chip, file name and sub-file count.
void reportMainHeader(app::RunState& state);

// Prints one line for each offset-table entry: its number, type and header offset.
void reportOffsetTable(app::RunState& state);

}  // namespace container
