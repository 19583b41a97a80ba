// The extraction stages: every sub-file inflated, verified and written into the output folder.
#pragma once

#include <cstdint>

#include "app/run_state.h"

namespace app {

// Builds the output folder prefix from the command line ("." when none or an empty one is
// given), creates that folder one level deep and opens it. Whether it could be made is not
// examined here: an output that cannot be written shows when its first piece is written.
void prepareOutputDir(RunState& state);

// Plans the outputs, then checks and extracts each table entry in order, stopping at the first
// that fails, then prints the summary line with the mask of written types. An output appears
// under its name only when all its pieces are in; one left incomplete is not written, and its
// name keeps what it held. Returns false when a sub-file failed.
bool extractAll(RunState& state);

// Extracts sub-file `index` of the plan, whose header was just checked. Fails with "Invalid
// file name in subfile-header.", "Invalid offset in offset-table." (its bytes overlap a
// sub-file extracted before), "Unable to allocate memory for packed file.", "Unable to allocate
// memory for unpacking file.", "Error while unpacking "...".", "Invalid MD5 hash in file
// "...".", or "Error while writing "...".".
bool extractSubfile(RunState& state, std::uint32_t index);

}  // namespace app
