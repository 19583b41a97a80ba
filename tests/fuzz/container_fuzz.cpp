// Fuzz target: the input is a whole container, run through every stage as the driver runs them
// (header, table, extraction) with a 1 MiB unpacking buffer. A fuzz build lets any digest match,
// so that the bytes behind the digests are explored too.
#include <cstddef>
#include <cstdint>

#include "app/run_state.h"
#include "tests/fuzz/fuzz_workspace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static app::RunState state;
    fuzzsupport::writeContainer(data, size);
    fuzzsupport::runStages(state, "out");
    fuzzsupport::checkAndClean("out");
    return 0;
}
