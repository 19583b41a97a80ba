// A container surveyed: opened, its header and table checked, every entry's header read on its
// own, its name and its place in the container checked. Nothing is unpacked yet.
#pragma once

#include <string>
#include <vector>

#include "dzlib/container.h"
#include "dzlib/fault.h"
#include "dzlib/plan.h"
#include "dzlib/records.h"
#include "dzlib/wrapper.h"
#include "platform/platform.h"

namespace dz {

struct Survey {
    std::string path;
    Container container;
    Fault mainHeaderFault = Fault::none;
    MainHeader header{};
    Fault tableFault = Fault::none;
    OffsetTable table{};
    // Each entry with what its header, name and region show (Fault::regionOverlap when its
    // bytes overlap those of an earlier entry whose header passed). Empty when the table fails.
    ExtractionPlan plan;
    // When the container could not be opened, what kind of failure that was.
    platform::ErrorKind openFailure = platform::ErrorKind::other;
    // When the table's end marker is missing: whether the file seems cut short (its entries or
    // the table would lie past its end).
    bool cutShort = false;

    // True when the header, the table and every entry passed what was checked so far.
    bool good() const;
};

// Opens and checks the container at `path`. False when it cannot be opened, with the system's
// reason in `error`; true otherwise, whatever the checks found.
bool surveyContainer(const std::string& path, Survey& survey, std::string& error);

// The wrapper of entry `index`'s packed data (its header must have passed), read from the
// container; a default zlib wrapper when it cannot be read.
Wrapper wrapperOf(const Survey& survey, std::uint32_t index);

}  // namespace dz
