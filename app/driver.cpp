// The program driver: banner, settings, command line, then the container stages in order.
#include "app/driver.h"

#include "app/checks.h"
#include "app/command_line.h"
#include "app/console.h"
#include "app/extract.h"
#include "app/reports.h"
#include "app/settings.h"
#include "platform/platform.h"

namespace app {
namespace {

const char kBanner[] = "Kestrix v1.0b *ALPHA RELEASE* Written by the Kestrix developers.\r\n\r\n";

const char kUsage[] =
    " Usage: Kestrix [options] dzfile [output]\r\n"
    "\r\n"
    "\toptions : -h : Display main header content.\r\n"
    "\t          -o : Display offset table content.\r\n"
    "\t          -x : Extract DZ file. (Default)\r\n"
    "\tdzfile  : Path and name of DZ file.\r\n"
    "\toutput  : Output path without ending \"\\\" (Default: current dir).\r\n"
    "\r\n"
    "Thanks to everyone who tested early builds and reported what they found.\r\n";

}  // namespace

bool runStages(RunState& state) {
    if (!checkMainHeader(state)) return false;
    if (state.flags.header) reportMainHeader(state);
    if (!checkOffsetTable(state)) return false;
    if (state.flags.table) reportOffsetTable(state);
    if (state.flags.extract) return extractAll(state);
    return true;
}

int runKestrix(RunState& state, int argc, char** argv) {
    platform::prepareProcess();
    platform::consoleOpen();
    state.utf8Terminal = platform::consoleIsUtf8Terminal();
    writeConsole(kBanner);
    readSettings(state);
    loadCommandLine(argc, argv, state.arguments);
    if (!state.arguments.overflow) applyOptions(state.arguments, state.flags);

    if (state.arguments.overflow || (state.arguments.count != 2 && state.arguments.count != 3)) {
        writeConsole(kUsage);
        return kExitUsage;
    }
    if (!state.flags.header && !state.flags.table && !state.flags.extract) {
        state.flags.extract = true;
    }

    const char* containerPath = state.arguments.tokens[1];
    if (!state.container.open(containerPath)) {
        errorLine(state, "Error while opening file %s.", {containerPath});
        return kExitFailed;
    }
    statusLine(state, "Opening file \"%s\".", {containerPath});
    statusLine(state, "Allocated memory: %d Mo.", {state.workingSize >> 20});

    bool done = runStages(state);

    statusLine(state, "Closing file \"%s\".", {containerPath});
    state.container.close();
    return done ? kExitDone : kExitFailed;
}

}  // namespace app
