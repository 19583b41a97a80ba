// Inflate and digest of one sub-file.
#include "dzlib/unpack.h"

#include "digest/md5.h"
#include "dzlib/inflate.h"

namespace dz {

Fault unpackSubfile(const SubfileHeader& header, const std::uint8_t* packed, std::size_t packedSize,
                    std::uint8_t* output, std::size_t capacity, std::size_t& unpackedLength) {
    std::size_t length = 0;
    if (!inflateSubfile(packed, packedSize, output, capacity, length)) return Fault::unpack;
    const digest::Digest computed = digest::md5Digest(output, length);
    if (!digest::digestsEqual(computed.data(), header.unpackedDigest)) return Fault::contentDigest;
    unpackedLength = length;
    return Fault::none;
}

}  // namespace dz
