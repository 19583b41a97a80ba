// Opening and checking a container, and reading an entry's wrapper.
#include "dzlib/survey.h"

#include <algorithm>
#include <string>

#include "dzlib/checks.h"
#include "dzlib/fault.h"
#include "dzlib/records.h"
#include "platform/platform.h"

namespace dz {

bool Survey::good() const {
    if (mainHeaderFault != Fault::none || tableFault != Fault::none) return false;
    return std::all_of(plan.entries.begin(), plan.entries.end(),
                       [](const PlannedEntry& e) { return e.fault == Fault::none; });
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
    survey.mainHeaderFault = verifyMainHeader(survey.container, survey.header);
    survey.tableFault = verifyOffsetTable(survey.container, survey.table);
    survey.cutShort = survey.tableFault == Fault::tableEndMarker && looksCutShort(survey.container);
    if (survey.tableFault != Fault::none) return true;

    // Names are limited only by their field: the file system says the rest when they are written.
    survey.plan = planExtraction(survey.container, survey.table, HeaderReading::fresh,
                                 sizeof(SubfileHeader::name));
    std::vector<Region> earlier;
    for (PlannedEntry& entry : survey.plan.entries) {
        if (entry.fault == Fault::subfileMarker || entry.fault == Fault::subfileHeaderDigest) {
            continue;
        }
        const Region region = regionOf(entry);
        const bool overlapping = std::any_of(earlier.begin(), earlier.end(),
                                             [&](const Region& r) { return overlaps(r, region); });
        if (overlapping && entry.fault == Fault::none) entry.fault = Fault::regionOverlap;
        earlier.push_back(region);
    }
    return true;
}

Wrapper wrapperOf(const Survey& survey, std::uint32_t index) {
    const PlannedEntry& entry = survey.plan.entries[index];
    const std::uint64_t at = regionOf(entry).begin + kSubfileDataOffset;
    const auto length =
        static_cast<std::uint64_t>(std::max<std::int64_t>(survey.container.length(), 0));
    // What the packed data can hold: its stored size, but never past the end of the container.
    const std::size_t packedSize = static_cast<std::size_t>(
        at >= length ? 0 : std::min<std::uint64_t>(entry.header.packedSize, length - at));
    // A gzip header's optional fields make it 70 KiB long at most but for its name and
    // comment; for those, the whole packed data is read, once.
    std::string bytes(std::min<std::size_t>(packedSize, 70 * 1024), '\0');
    Wrapper wrapper;
    for (;;) {
        const std::size_t wanted = bytes.size();
        bytes.resize(survey.container.readAt(at, bytes.data(), wanted));
        const bool read = bytes.size() == wanted;
        if (readWrapper(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                        wrapper) ||
            !read || wanted >= packedSize) {
            break;
        }
        bytes.assign(packedSize, '\0');
    }
    return wrapper;
}

}  // namespace dz
