// Inflate and digest of one sub-file.
#include "dzlib/unpack.h"

#include "digest/md5.h"
#include "dzlib/inflate.h"
#include "platform/platform.h"

namespace dz {
namespace {

// True when the MD5 of the unpacked bytes is the digest the header holds.
bool contentMatches(const SubfileHeader& header, const std::uint8_t* bytes, std::size_t length) {
    return contentMatches(header, digest::md5Digest(bytes, length));
}

}  // namespace

bool contentMatches(const SubfileHeader& header, const digest::Digest& digest) {
    return digest::digestsEqual(digest.data(), header.unpackedDigest);
}

Fault unpackSubfile(const SubfileHeader& header, const std::uint8_t* packed, std::size_t packedSize,
                    std::uint8_t* output, std::size_t capacity, std::size_t& unpackedLength) {
    std::size_t length = 0;
    if (!inflateSubfile(packed, packedSize, output, capacity, length)) return Fault::unpack;
    if (!contentMatches(header, output, length)) return Fault::contentDigest;
    unpackedLength = length;
    return Fault::none;
}

Fault unpackSubfile(const SubfileHeader& header, const std::uint8_t* packed, std::size_t packedSize,
                    platform::Memory& output, std::size_t& unpackedLength) {
    std::size_t length = 0;
    const Fault fault = inflateSubfileInto(packed, packedSize, output, length);
    if (fault != Fault::none) return fault;
    if (!contentMatches(header, output.bytes(), length)) return Fault::contentDigest;
    unpackedLength = length;
    return Fault::none;
}

}  // namespace dz
