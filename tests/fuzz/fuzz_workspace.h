// What the fuzz targets share: a private scratch directory for the container and the output,
// one run of the container stages as the driver runs them, and the check that nothing was
// written outside the output directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/run_state.h"

namespace fuzzsupport {

constexpr std::uint32_t kWorkingSize = 1u << 20;  // 1 MiB: inflate bombs stay cheap

// The process's scratch directory, made on first use (with standard output sent to /dev/null,
// so that the fuzzer's own output stays readable) and removed when the process exits.
const std::string& scratchDirectory();
// The container file inside it.
const std::string& containerPath();

// Writes the container bytes to containerPath(); aborts when it cannot.
void writeContainer(const std::uint8_t* data, std::size_t size);

// Resets `state` and runs the stages over containerPath() with every option set, unpacking
// into scratchDirectory()/outputName. Returns true when every stage succeeded.
bool runStages(app::RunState& state, const std::string& outputName);

// Aborts unless the scratch directory holds only the container and the output directory, and
// the output directory only regular files; then removes the output directory.
void checkAndClean(const std::string& outputName);

// Aborts with a message on standard error.
[[noreturn]] void fail(const std::string& what);

}  // namespace fuzzsupport
