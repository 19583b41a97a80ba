// The settings file beside the program: one key, the working size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/run_state.h"

namespace app {

constexpr std::uint32_t kDefaultWorkmem = 240;   // MiB
constexpr std::uint32_t kLargestWorkmem = 4095;  // the largest that fits the 32-bit byte count

// The settings path for a program path: a closing ".exe" (any case) becomes ".ini", any other
// path gets ".ini" added. False when the result does not fit `size` bytes.
bool settingsPathFor(const char* programPath, char* settingsPath, std::size_t size);

// The working size in bytes for a "workmem" value: 0 or less gives the default, values above
// the largest are held to it.
std::uint32_t workingSizeFor(long long workmem);

// Reads "workmem" in section "main" of the settings file and sets the working size; a missing
// file, section or key gives the default, and nothing is reported.
void readSettings(RunState& state);

}  // namespace app
