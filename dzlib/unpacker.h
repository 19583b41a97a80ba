// One worker's room for unpacking sub-files, one at a time, reused from one to the next: the
// memory follows the data, up to what the container's 32-bit sizes allow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dzlib/fault.h"
#include "dzlib/records.h"
#include "dzlib/survey.h"
#include "platform/platform.h"

namespace dz {

// Packed and unpacked sizes are 32-bit in the container.
constexpr std::size_t kLargestSubfile = dz::kLargestStored;

class Unpacker {
  public:
    // Its memory counts against `bound` (none when null), which must outlive it; it commits up
    // to `share` bytes of it before each inflate, so that it seldom has to inflate again in a
    // larger room.
    explicit Unpacker(platform::MemoryBound* bound = nullptr, std::size_t share = 0);

    // Reads entry `index` of the survey's plan and unpacks and proves it: Fault::none (the
    // content is then at bytes()), packedMemory or unpackedMemory, read (the container could
    // not be read), unpack or contentDigest. The entry's header must have passed.
    dz::Fault unpack(const dz::Survey& survey, std::uint32_t index);

    const std::uint8_t* bytes() const { return unpacked_.bytes(); }
    std::size_t length() const { return length_; }

    // Gives back what its rooms hold past the first `keep` bytes; its bytes are gone.
    void trim(std::size_t keep);

  private:
    platform::MemoryBound* bound_;
    std::size_t share_;
    platform::Memory packed_;
    platform::Memory unpacked_;
    std::size_t length_ = 0;
};

}  // namespace dz
