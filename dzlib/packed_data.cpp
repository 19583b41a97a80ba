// Reading an entry's packed data.
#include "dzlib/packed_data.h"

#include <algorithm>
#include <cstring>

#include "dzlib/records.h"

namespace dz {

Fault readPacked(const Container& container, const PlannedEntry& entry, std::uint64_t from,
                 std::uint8_t* buffer, std::size_t length, PastEnd pastEnd) {
    const std::uint64_t at = regionOf(entry).begin + kSubfileDataOffset + from;
    const std::size_t got = container.readAt(at, buffer, length);
    if (got == length) return Fault::none;
    // A read that stops short inside the container is a read error; past its end, the caller's
    // choice.
    if (at + got < static_cast<std::uint64_t>(container.length())) return Fault::read;
    if (pastEnd == PastEnd::readFault) return Fault::read;
    std::memset(buffer + got, 0, length - got);
    return Fault::none;
}

Fault packedData(const Survey& survey, std::uint32_t index, PastEnd pastEnd,
                 platform::Memory& packed, platform::FileView& view, const std::uint8_t*& bytes,
                 platform::MemoryBound* bound) {
    const PlannedEntry& entry = survey.plan.entries[index];
    const std::size_t packedSize = entry.header.packedSize;
    const std::uint64_t at = regionOf(entry).begin + kSubfileDataOffset;
    const auto containerLength = static_cast<std::uint64_t>(survey.container.length());
    if (at + packedSize <= containerLength) {
        // Read in place where the system can: no copy, and no memory but its cache of the file.
        view = survey.container.view(at, packedSize);
        bytes = view.bytes();
        if (!view.empty()) return Fault::none;
    } else if (pastEnd == PastEnd::readFault) {
        return Fault::read;
    }
    // One room of all a sub-file can take serves every entry where the address space has room
    // for it; elsewhere, a room of this entry's size, reserved again for a larger one.
    if (packed.bytes() == nullptr ||
        (!platform::kLargeAddressSpace && packed.size() < packedSize)) {
        const std::size_t room = platform::kLargeAddressSpace
                                     ? static_cast<std::size_t>(kLargestStored)
                                     : std::max<std::size_t>(packedSize, 1);
        packed = platform::Memory::reserve(room, bound);
    }
    if (packed.bytes() == nullptr || !packed.commit(packedSize)) return Fault::packedMemory;
    const Fault fault = readPacked(survey.container, entry, 0, packed.bytes(), packedSize, pastEnd);
    if (fault != Fault::none) return fault;
    bytes = packed.bytes();
    return Fault::none;
}

}  // namespace dz
