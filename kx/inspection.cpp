// Opening and checking a container for kx.
#include "kx/inspection.h"

#include <algorithm>

#include "dzlib/checks.h"
#include "dzlib/fault.h"
#include "dzlib/records.h"
#include "platform/platform.h"

namespace kx {

bool Inspection::good() const {
    if (mainHeaderFault != dz::Fault::none || tableFault != dz::Fault::none) return false;
    return std::all_of(plan.entries.begin(), plan.entries.end(),
                       [](const dz::PlannedEntry& e) { return e.fault == dz::Fault::none; });
}

bool inspect(const std::string& path, Inspection& inspection, std::string& error) {
    inspection.path = path;
    if (!inspection.container.open(path.c_str())) {
        error = platform::lastErrorText();
        return false;
    }
    // The table and the entries are checked even when the main header fails: they are
    // independent, and a user wants to know all that is wrong.
    inspection.mainHeaderFault = dz::verifyMainHeader(inspection.container, inspection.header);
    inspection.tableFault = dz::verifyOffsetTable(inspection.container, inspection.table);
    if (inspection.tableFault != dz::Fault::none) return true;

    // Names are limited only by their field: the file system says the rest when they are written.
    inspection.plan = dz::planExtraction(inspection.container, inspection.table,
                                         dz::HeaderReading::fresh, sizeof(dz::SubfileHeader::name));
    std::vector<dz::Region> earlier;
    for (dz::PlannedEntry& entry : inspection.plan.entries) {
        if (entry.fault == dz::Fault::subfileMarker ||
            entry.fault == dz::Fault::subfileHeaderDigest) {
            continue;
        }
        const dz::Region region = dz::regionOf(entry);
        const bool overlapping =
            std::any_of(earlier.begin(), earlier.end(),
                        [&](const dz::Region& r) { return dz::overlaps(r, region); });
        if (overlapping && entry.fault == dz::Fault::none) entry.fault = dz::Fault::regionOverlap;
        earlier.push_back(region);
    }
    return true;
}

std::vector<std::uint32_t> largestFirst(const Inspection& inspection,
                                        const std::vector<std::uint32_t>& entries) {
    std::vector<std::uint32_t> order = entries;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return inspection.plan.entries[a].header.packedSize >
               inspection.plan.entries[b].header.packedSize;
    });
    return order;
}

}  // namespace kx
