// Opening and checking a container for kx.
#include "kx/survey.h"

#include <algorithm>
#include <string>

#include "dzlib/checks.h"
#include "dzlib/fault.h"
#include "dzlib/records.h"
#include "platform/platform.h"

namespace kx {

bool Survey::good() const {
    if (mainHeaderFault != dz::Fault::none || tableFault != dz::Fault::none) return false;
    return std::all_of(plan.entries.begin(), plan.entries.end(),
                       [](const dz::PlannedEntry& e) { return e.fault == dz::Fault::none; });
}

bool surveyContainer(const std::string& path, Survey& survey, std::string& error) {
    survey.path = path;
    if (!survey.container.open(path.c_str())) {
        error = platform::lastErrorText();
        survey.openFailure = platform::lastErrorKind();
        return false;
    }
    // The table and the entries are checked even when the main header fails: they are
    // independent, and a user wants to know all that is wrong.
    survey.mainHeaderFault = dz::verifyMainHeader(survey.container, survey.header);
    survey.tableFault = dz::verifyOffsetTable(survey.container, survey.table);
    survey.cutShort =
        survey.tableFault == dz::Fault::tableEndMarker && dz::looksCutShort(survey.container);
    if (survey.tableFault != dz::Fault::none) return true;

    // Names are limited only by their field: the file system says the rest when they are written.
    survey.plan = dz::planExtraction(survey.container, survey.table, dz::HeaderReading::fresh,
                                     sizeof(dz::SubfileHeader::name));
    std::vector<dz::Region> earlier;
    for (dz::PlannedEntry& entry : survey.plan.entries) {
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

dz::Wrapper wrapperOf(const Survey& survey, std::uint32_t index) {
    const dz::PlannedEntry& entry = survey.plan.entries[index];
    const std::uint64_t at = dz::regionOf(entry).begin + dz::kSubfileDataOffset;
    const auto length =
        static_cast<std::uint64_t>(std::max<std::int64_t>(survey.container.length(), 0));
    // What the packed data can hold: its stored size, but never past the end of the container.
    const std::size_t packedSize = static_cast<std::size_t>(
        at >= length ? 0 : std::min<std::uint64_t>(entry.header.packedSize, length - at));
    // A gzip header's optional fields make it 70 KiB long at most but for its name and
    // comment; for those, the whole packed data is read, once.
    std::string bytes(std::min<std::size_t>(packedSize, 70 * 1024), '\0');
    dz::Wrapper wrapper;
    for (;;) {
        const std::size_t wanted = bytes.size();
        bytes.resize(survey.container.readAt(at, bytes.data(), wanted));
        const bool read = bytes.size() == wanted;
        if (dz::readWrapper(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                            wrapper) ||
            !read || wanted >= packedSize) {
            break;
        }
        bytes.assign(packedSize, '\0');
    }
    return wrapper;
}

std::vector<std::uint32_t> largestFirst(const Survey& survey,
                                        const std::vector<std::uint32_t>& entries) {
    std::vector<std::uint32_t> order = entries;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return survey.plan.entries[a].header.packedSize > survey.plan.entries[b].header.packedSize;
    });
    return order;
}

}  // namespace kx
