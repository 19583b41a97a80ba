// Inflating one sub-file: the whole packed buffer in, one call, into the whole unpacking buffer.
// Two backends do it, and the build chooses one for inflateSubfile when it is configured:
// libdeflate where it is found (several times faster), zlib otherwise. Both accept and refuse
// exactly the same streams and give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dzlib/fault.h"
#include "platform/platform.h"

namespace dz {

// Each backend inflates one deflate stream with a zlib or a gzip wrapper (gzip when the data
// starts with 1f 8b), checking the wrapper's check values (and a gzip header's own CRC when its
// flag is set). Bytes after the end of the stream are ignored. Returns true and sets
// `unpackedLength` when the stream ends within `outputSize` bytes; false when the stream is
// damaged or cut short, a check value does not match, a preset dictionary is asked for, or the
// output would exceed `outputSize`.
bool inflateSubfile(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                    std::size_t outputSize, std::size_t& unpackedLength);

// The same, into `output`, committing more of it as the data needs, up to output.size() bytes:
// memory follows the data. Returns Fault::none, Fault::unpack when inflateSubfile with
// output.size() bytes of room would fail, or Fault::unpackedMemory when the system (or the
// room's bound) has no memory for what the data needs; output.committed() then tells how much
// it had.
Fault inflateSubfileInto(const std::uint8_t* packed, std::size_t packedSize,
                         platform::Memory& output, std::size_t& unpackedLength);

// True when inflateSubfileInto, finding the room it has committed too small, inflates again from
// the start in a larger one (the libdeflate backend), so that room committed ahead saves work;
// false when it carries on where it was (zlib).
#ifdef KESTRIX_INFLATE_WITH_LIBDEFLATE
constexpr bool kInflateStartsAgainWhenShort = true;
#else
constexpr bool kInflateStartsAgainWhenShort = false;
#endif

bool inflateWithZlib(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                     std::size_t outputSize, std::size_t& unpackedLength);
Fault inflateWithZlibInto(const std::uint8_t* packed, std::size_t packedSize,
                          platform::Memory& output, std::size_t& unpackedLength);
#ifdef KESTRIX_LIBDEFLATE_LINKED
bool inflateWithLibdeflate(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                           std::size_t outputSize, std::size_t& unpackedLength);
Fault inflateWithLibdeflateInto(const std::uint8_t* packed, std::size_t packedSize,
                                platform::Memory& output, std::size_t& unpackedLength);
#endif

}  // namespace dz
