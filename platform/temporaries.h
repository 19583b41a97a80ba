// The temporary files this process has made and not yet moved into place or removed, kept where
// an interrupt handler can reach them: fixed slots, no locks, no allocation.
#pragma once

#include <cstdint>

namespace platform {

// Remembers the temporary file `name` in `folder` (a folder handle, or 0 when `name` is a whole
// path). False when every slot is taken.
bool registerTemporary(std::intptr_t folder, const char* name);

// Forgets it again: it was moved to its final name or removed.
void forgetTemporary(std::intptr_t folder, const char* name);

// Calls `remove` for every temporary file still remembered. Safe in a signal handler.
void removeAllTemporaries(void (*remove)(std::intptr_t folder, const char* name));

}  // namespace platform
