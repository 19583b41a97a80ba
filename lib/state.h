// What the public API's objects hold, and the crossings between its types and dzlib's: shared by
// the library's sources, never installed.
#pragma once

#include <vector>

#include "dzlib/fault.h"
#include "dzlib/packed_data.h"
#include "dzlib/survey.h"
#include "kestrix/kestrix.h"
#include "platform/platform.h"

namespace kestrix {

struct Container::State {
    dz::Survey survey;
    MainHeader header;
    Table table;
    std::vector<Entry> entries;
    std::vector<Output> outputs;

    // The planned entry `index`; throws std::out_of_range past the entries.
    const dz::PlannedEntry& planned(std::uint32_t index) const;
};

// An entry's content (`length` bytes of `memory`), and the room its packed data was read into:
// both kept for the next entry unpacked into the same Content.
struct Content::State {
    platform::Memory memory;
    std::size_t length = 0;
    platform::Memory packed;

    // Makes `room` as large as the address space gives, up to the largest sub-file, when it is
    // not yet; false when it cannot be had.
    static bool reserve(platform::Memory& room);
};

// What the library's functions outside the classes reach of them.
struct LibraryAccess {
    static const Container::State& state(const Container& container) { return container.state(); }
};

Reason reasonOf(dz::Fault fault);

inline dz::PastEnd pastEndOf(PastEnd pastEnd) {
    return pastEnd == PastEnd::zeros ? dz::PastEnd::zeros : dz::PastEnd::readFault;
}

}  // namespace kestrix
