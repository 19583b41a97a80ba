// Unpacking one sub-file into a worker's reused room.
#include "dzlib/unpacker.h"

#include "dzlib/fault.h"
#include "dzlib/inflate.h"
#include "dzlib/packed_data.h"
#include "dzlib/records.h"
#include "dzlib/unpack.h"
#include "platform/platform.h"

namespace dz {

Unpacker::Unpacker(platform::MemoryBound* bound, std::size_t share)
    : bound_(bound), share_(share), unpacked_(platform::Memory::reserve(kLargestSubfile, bound)) {}

void Unpacker::trim(std::size_t keep) {
    length_ = 0;
    packed_.trim(keep);
    unpacked_.trim(keep);
}

dz::Fault Unpacker::unpack(const dz::Survey& survey, std::uint32_t index) {
    length_ = 0;
    if (unpacked_.bytes() == nullptr) return dz::Fault::unpackedMemory;
    platform::FileView view;
    const std::uint8_t* packed = nullptr;
    dz::Fault fault =
        dz::packedData(survey, index, dz::PastEnd::zeros, packed_, view, packed, bound_);
    if (fault != dz::Fault::none) return fault;
    const dz::SubfileHeader& header = survey.plan.entries[index].header;
    std::size_t length = 0;
    if (dz::kInflateStartsAgainWhenShort) unpacked_.commitWhatFits(share_);
    fault = dz::unpackSubfile(header, packed, header.packedSize, unpacked_, length);
    unpacked_.trim(fault == dz::Fault::none ? length : 0);
    if (fault == dz::Fault::none) length_ = length;
    return fault;
}

}  // namespace dz
