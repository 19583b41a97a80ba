// The header and offset-table reports.
#include "app/reports.h"

#include "app/console.h"
#include "dzlib/records.h"
#include "dzlib/text_field.h"
#include "platform/platform.h"

namespace app {
namespace {

// A text field as the terminal may show it, in `out` (width + 1 bytes at least).
template <std::size_t width>
void printable(const RunState& state, const char (&field)[width], char* out) {
    dz::printableText(dz::fieldText(field, width), state.utf8Terminal, out);
}

}  // namespace

void reportMainHeader(RunState& state) {
    const dz::MainHeader& header = state.mainHeader;
    char phoneModel[sizeof header.phoneModel + 1];
    char internalName[sizeof header.internalName + 1];
    char chip[sizeof header.chip + 1];
    char fileName[sizeof header.fileName + 1];
    printable(state, header.phoneModel, phoneModel);
    printable(state, header.internalName, internalName);
    printable(state, header.chip, chip);
    printable(state, header.fileName, fileName);

    // A time the system cannot convert shows as all zeros.
    platform::CalendarTime time{};
    platform::fileTimeToLocal(header.creationTime, time);

    statusLine(state, "Main header informations:");
    detailLine(state, "     - DZ Version    : v%d.", {header.version});
    detailLine(state, "     - Phone Model   : %s.", {phoneModel});
    detailLine(state, "     - Internal name : %s.", {internalName});
    detailLine(state, "     - Creation time : %04d-%02d-%02d %02d:%02d:%02d.",
               {time.year, time.month, time.day, time.hour, time.minute, time.second});
    detailLine(state, "     - Chip          : %s.", {chip});
    detailLine(state, "     - Filename      : %s.", {fileName});
    detailLine(state, "     - Subfiles      : %02d.", {header.subfileCount});
}

void reportOffsetTable(RunState& state) {
    statusLine(state, "Offset-Table informations:");
    const dz::OffsetTable& table = state.offsetTable;
    for (std::uint32_t i = 0; i < table.count; ++i) {
        detailLine(state, "     - File:#%02d - Type:%03X - Offs:%08X",
                   {i + 1, table.entries[i].type, table.entries[i].offset});
    }
}

}  // namespace app
