// The three integrity checks. Each reads its record into the run state, tests markers before
// digests, and on the first failing test prints its one error line and returns false.
#pragma once

#include <cstdint>

#include "app/run_state.h"

namespace container {

// Reads the main header at 0 and its digest. Fails with "Invalid markers in main header." or
// "Invalid MD5 hash in main header.".
bool checkMainHeader(app::RunState& state);

// Reads the offset table from the end of the container. Fails with "Invalid end marker in
// offset-table.", "Invalid begin marker or size in offset-table.", "Invalid MD5 hash in
// offset-table." or, when the count claims more entries than the body holds, "Invalid entry
// count in offset-table.".
bool checkOffsetTable(app::RunState& state);

// Reads the sub-file header at `offset`. Fails with "Invalid marker in subfile-header." or
// "Invalid MD5 hash in subfile-header.". On success the container stands at the packed data.
bool checkSubfileHeader(app::RunState& state, std::uint32_t offset);

}  // namespace container
