// The header and offset-table reports.
#include "container/reports.h"

#include "app/console.h"
#include "container/text_field.h"

namespace container {

void reportMainHeader(app::RunState& state) {
    const MainHeader& header = state.mainHeader;
    char phoneModel[sizeof header.phoneModel + 1];
    char internalName[sizeof header.internalName + 1];
    char chip[sizeof header.chip + 1];
    char fileName[sizeof header.fileName + 1];
    printableField(header.phoneModel, sizeof header.phoneModel, phoneModel);
    printableField(header.internalName, sizeof header.internalName, internalName);
    printableField(header.chip, sizeof header.chip, chip);
    printableField(header.fileName, sizeof header.fileName, fileName);

    // A time the system cannot convert shows as all zeros.
    platform::CalendarTime time{};
    platform::fileTimeToLocal(header.creationTime, time);

    app::statusLine(state, "Main header informations:");
    app::detailLine(state, "     - DZ Version    : v%d.", {header.version});
    app::detailLine(state, "     - Phone Model   : %s.", {phoneModel});
    app::detailLine(state, "     - Internal name : %s.", {internalName});
    app::detailLine(state, "     - Creation time : %04d-%02d-%02d %02d:%02d:%02d.",
                    {time.year, time.month, time.day, time.hour, time.minute, time.second});
    app::detailLine(state, "     - Chip          : %s.", {chip});
    app::detailLine(state, "     - Filename      : %s.", {fileName});
    app::detailLine(state, "     - Subfiles      : %02d.", {header.subfileCount});
}

void reportOffsetTable(app::RunState& state) {
    app::statusLine(state, "Offset-Table informations:");
    const OffsetTable& table = state.offsetTable;
    for (std::uint32_t i = 0; i < table.count; ++i) {
        app::detailLine(state, "     - File:#%02d - Type:%03X - Offs:%08X",
                        {i + 1, table.entries[i].type, table.entries[i].offset});
    }
}

}  // namespace container
