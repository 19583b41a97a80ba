// An entry's packed data read from the container: a slice at a time, or whole (in place where the
// system can). What bytes past the end of the container become is the caller's choice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dzlib/container.h"
#include "dzlib/fault.h"
#include "dzlib/plan.h"
#include "dzlib/survey.h"
#include "platform/platform.h"

namespace dz {

// What the bytes of an entry's packed data that lie past the end of the container become.
enum class PastEnd {
    zeros,      // zeros, as Kestrix has always read them: inflate and the digest judge them
    readFault,  // Fault::read
};

// Reads `length` bytes of `entry`'s packed data into `buffer`, starting `from` bytes into it.
// Fault::none, or Fault::read when a read stops short inside the container (or, with
// PastEnd::readFault, when the bytes run past its end).
Fault readPacked(const Container& container, const PlannedEntry& entry, std::uint64_t from,
                 std::uint8_t* buffer, std::size_t length, PastEnd pastEnd);

// The whole packed data of entry `index` of the survey's plan (its header must have passed):
// read in place where the system can, and otherwise into `packed` (reserved here when it holds
// no room yet, or on a 32-bit system none large enough, its memory counted against `bound`,
// none when null; see platform::kLargeAddressSpace). Returns Fault::none and sets
// `bytes` (valid while `view` and `packed` live), packedMemory, or read as readPacked says.
Fault packedData(const Survey& survey, std::uint32_t index, PastEnd pastEnd,
                 platform::Memory& packed, platform::FileView& view, const std::uint8_t*& bytes,
                 platform::MemoryBound* bound = nullptr);

}  // namespace dz
