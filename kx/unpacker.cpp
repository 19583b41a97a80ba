// Unpacking one sub-file into a worker's reused room.
#include "kx/unpacker.h"

#include <cstring>

#include "dzlib/fault.h"
#include "dzlib/inflate.h"
#include "dzlib/records.h"
#include "dzlib/unpack.h"
#include "platform/platform.h"

namespace kx {

Unpacker::Unpacker(platform::MemoryBound* bound, std::size_t share)
    : bound_(bound), share_(share), unpacked_(platform::Memory::reserve(kLargestSubfile, bound)) {}

void Unpacker::trim(std::size_t keep) {
    length_ = 0;
    packed_.trim(keep);
    unpacked_.trim(keep);
}

dz::Fault Unpacker::unpack(const Survey& survey, std::uint32_t index) {
    length_ = 0;
    if (unpacked_.bytes() == nullptr) return dz::Fault::unpackedMemory;
    platform::FileView view;
    const std::uint8_t* packed = nullptr;
    dz::Fault fault = packedData(survey, index, packed_, view, packed, bound_);
    if (fault != dz::Fault::none) return fault;
    const dz::SubfileHeader& header = survey.plan.entries[index].header;
    std::size_t length = 0;
    if (dz::kInflateStartsAgainWhenShort) unpacked_.commitWhatFits(share_);
    fault = dz::unpackSubfile(header, packed, header.packedSize, unpacked_, length);
    unpacked_.trim(fault == dz::Fault::none ? length : 0);
    if (fault == dz::Fault::none) length_ = length;
    return fault;
}

dz::Fault packedData(const Survey& survey, std::uint32_t index, platform::Memory& packed,
                     platform::FileView& view, const std::uint8_t*& bytes,
                     platform::MemoryBound* bound) {
    const dz::PlannedEntry& entry = survey.plan.entries[index];
    const std::size_t packedSize = entry.header.packedSize;
    const std::uint64_t at = dz::regionOf(entry).begin + dz::kSubfileDataOffset;
    const auto containerLength = static_cast<std::uint64_t>(survey.container.length());
    if (at + packedSize <= containerLength) {
        // Read in place where the system can: no copy, and no memory but its cache of the file.
        view = survey.container.view(at, packedSize);
        bytes = view.bytes();
        if (!view.empty()) return dz::Fault::none;
    }
    if (packed.bytes() == nullptr) packed = platform::Memory::reserve(kLargestSubfile, bound);
    if (packed.bytes() == nullptr || !packed.commit(packedSize)) return dz::Fault::packedMemory;
    const std::size_t got = survey.container.readAt(at, packed.bytes(), packedSize);
    if (got < packedSize) {
        // Data that runs past the end of the container reads as zeros, as Kestrix reads it; a
        // read that stops short inside the container is a read error.
        if (at + got < containerLength) return dz::Fault::read;
        std::memset(packed.bytes() + got, 0, packedSize - got);
    }
    bytes = packed.bytes();
    return dz::Fault::none;
}

}  // namespace kx
