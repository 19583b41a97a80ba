// Extraction: every sub-file inflated, verified and written into the output directory.
#pragma once

#include "app/run_state.h"

namespace container {

// Builds the output directory prefix from the command line ("." when none or an empty one is
// given) and creates that directory, one level deep. Whether it could be made is not examined
// here: an output that cannot be written shows when the first file is written.
void prepareOutputDir(app::RunState& state);

// Checks and extracts each table entry in order, stopping at the first that fails, then prints
// the summary line with the mask of written types. Returns false when a sub-file failed.
bool extractAll(app::RunState& state);

// Extracts the sub-file whose header was just checked, reading its packed data from the
// container's current position. Fails with "Invalid file name in subfile-header.", "Unable to
// allocate memory for packed file.", "Unable to allocate memory for unpacking file.", "Error
// while unpacking "...".", "Invalid MD5 hash in file "...".", or "Error while writing "...".";
// after a failed write the output is as it was before this sub-file.
bool extractSubfile(app::RunState& state, const OffsetEntry& entry);

}  // namespace container
