// Unpacking one sub-file into a worker's reused room.
#include "kx/unpacker.h"

#include <cstring>

#include "dzlib/fault.h"
#include "dzlib/inflate.h"
#include "dzlib/records.h"
#include "dzlib/unpack.h"
#include "platform/platform.h"

namespace kx {
namespace {

// Packed and unpacked sizes are 32-bit in the container.
constexpr std::size_t kLargestSize = UINT32_MAX;

}  // namespace

Unpacker::Unpacker()
    : packed_(platform::Memory::reserve(kLargestSize)),
      unpacked_(platform::Memory::reserve(kLargestSize)) {}

dz::Fault Unpacker::unpack(const Survey& survey, std::uint32_t index) {
    return load(survey, index, /*proving=*/true);
}

dz::Fault Unpacker::inflate(const Survey& survey, std::uint32_t index) {
    return load(survey, index, /*proving=*/false);
}

dz::Fault Unpacker::load(const Survey& survey, std::uint32_t index, bool proving) {
    const dz::PlannedEntry& entry = survey.plan.entries[index];
    const auto unpackFrom = [&](const std::uint8_t* packed, std::size_t size) {
        std::size_t length = 0;
        const dz::Fault fault =
            proving ? dz::unpackSubfile(entry.header, packed, size, unpacked_, length)
                    : dz::inflateSubfileInto(packed, size, unpacked_, length);
        if (fault == dz::Fault::none) length_ = length;
        return fault;
    };
    const std::size_t packedSize = entry.header.packedSize;
    length_ = 0;
    if (unpacked_.bytes() == nullptr) return dz::Fault::unpackedMemory;

    const std::uint64_t at = dz::regionOf(entry).begin + dz::kSubfileDataOffset;
    const auto containerLength = static_cast<std::uint64_t>(survey.container.length());
    if (at + packedSize <= containerLength) {
        // Read in place where the system can: no copy, and no memory but its cache of the file.
        const platform::FileView view = survey.container.view(at, packedSize);
        if (!view.empty()) return unpackFrom(view.bytes(), packedSize);
    }
    if (packed_.bytes() == nullptr || !packed_.commit(packedSize)) return dz::Fault::packedMemory;
    const std::size_t got = survey.container.readAt(at, packed_.bytes(), packedSize);
    if (got < packedSize) {
        // Data that runs past the end of the container reads as zeros, as Kestrix reads it; a
        // read that stops short inside the container is a read error.
        if (at + got < containerLength) return dz::Fault::read;
        std::memset(packed_.bytes() + got, 0, packedSize - got);
    }
    return unpackFrom(packed_.bytes(), packedSize);
}

}  // namespace kx
