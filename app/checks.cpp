// The check stages and the error line of every fault.
#include "app/checks.h"

#include "app/console.h"
#include "dzlib/checks.h"
#include "dzlib/fault.h"

namespace app {
namespace {

const char* messageOf(dz::Fault fault) {
    switch (fault) {
        case dz::Fault::none:
            break;
        case dz::Fault::mainHeaderMarkers:
            return "Invalid markers in main header.";
        case dz::Fault::mainHeaderDigest:
            return "Invalid MD5 hash in main header.";
        case dz::Fault::tableEndMarker:
            return "Invalid end marker in offset-table.";
        case dz::Fault::tableBeginMarkerOrSize:
            return "Invalid begin marker or size in offset-table.";
        case dz::Fault::tableDigest:
            return "Invalid MD5 hash in offset-table.";
        case dz::Fault::tableEntryCount:
            return "Invalid entry count in offset-table.";
        case dz::Fault::subfileMarker:
            return "Invalid marker in subfile-header.";
        case dz::Fault::subfileHeaderDigest:
            return "Invalid MD5 hash in subfile-header.";
        case dz::Fault::fileName:
            return "Invalid file name in subfile-header.";
        case dz::Fault::regionOverlap:
            return "Invalid offset in offset-table.";
        case dz::Fault::packedMemory:
            return "Unable to allocate memory for packed file.";
        case dz::Fault::unpackedMemory:
            return "Unable to allocate memory for unpacking file.";
        case dz::Fault::unpack:
            return "Error while unpacking \"%s\".";
        case dz::Fault::contentDigest:
            return "Invalid MD5 hash in file \"%s\".";
        case dz::Fault::read:
            break;
        case dz::Fault::write:
            return "Error while writing \"%s\".";
    }
    return "";
}

// Prints the line of a fault, if any; true when there was none.
bool passes(RunState& state, dz::Fault fault) {
    if (fault == dz::Fault::none) return true;
    reportFault(state, fault);
    return false;
}

}  // namespace

void reportFault(RunState& state, dz::Fault fault, const char* name) {
    errorLine(state, messageOf(fault), {name});
}

bool checkMainHeader(RunState& state) {
    return passes(state, dz::verifyMainHeader(state.container, state.mainHeader));
}

bool checkOffsetTable(RunState& state) {
    return passes(state, dz::verifyOffsetTable(state.container, state.offsetTable));
}

bool checkSubfileHeader(RunState& state, std::uint32_t index) {
    const dz::PlannedEntry& planned = state.plan.entries[index];
    state.subfileHeader = planned.header;
    if (planned.fault == dz::Fault::subfileMarker ||
        planned.fault == dz::Fault::subfileHeaderDigest) {
        return passes(state, planned.fault);
    }
    return true;
}

}  // namespace app
