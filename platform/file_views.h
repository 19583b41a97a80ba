// Files read in place on POSIX systems (File::view), and what keeps a shortened file from
// ending the process: a bus error inside a view maps zeros over the page and lets the read go on.
#pragma once

namespace platform {

// Installs the bus-error handler; a bus error outside the views is handed to `otherwise`, which
// must end the process.
void handleBusErrorsInViews(void (*otherwise)(int));

}  // namespace platform
