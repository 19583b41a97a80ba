// The fixed sequence of one run.
#pragma once

#include "app/run_state.h"

namespace app {

// Runs Kestrix once over the process's arguments and returns the exit status: kExitDone when
// the whole job was done, kExitFailed when the container could not be opened or a check,
// sub-file or output write failed, kExitUsage when the usage text was shown.
int runKestrix(RunState& state, int argc, char** argv);

// The container stages the flags choose, from the first check to the last sub-file, over the
// open container; false when one failed.
bool runStages(RunState& state);

}  // namespace app
