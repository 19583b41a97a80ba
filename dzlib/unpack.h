// Unpacking one sub-file and proving it: inflate, then the digest of what came out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5.h"
#include "dzlib/fault.h"
#include "dzlib/records.h"
#include "platform/platform.h"

namespace dz {

// True when `digest` (the MD5 of a sub-file's unpacked bytes) is the one its header stores.
bool contentMatches(const SubfileHeader& header, const digest::Digest& digest);

// Inflates the `packedSize` bytes at `packed` into `output` (room for `capacity` bytes) and
// compares the MD5 of the result with the header's content digest. Returns Fault::none and sets
// `unpackedLength`; Fault::unpack when the stream or its wrapper is damaged or cut, or would
// not fit `capacity`; Fault::contentDigest when the bytes do not match the digest.
Fault unpackSubfile(const SubfileHeader& header, const std::uint8_t* packed, std::size_t packedSize,
                    std::uint8_t* output, std::size_t capacity, std::size_t& unpackedLength);

// The same into `output`, whose room is committed as the data needs it (up to output.size()
// bytes); also Fault::unpackedMemory when the system has no memory for what the data needs.
Fault unpackSubfile(const SubfileHeader& header, const std::uint8_t* packed, std::size_t packedSize,
                    platform::Memory& output, std::size_t& unpackedLength);

}  // namespace dz
