// The backend chosen when the build was configured.
#include "dzlib/inflate.h"

#include "platform/platform.h"

namespace dz {

bool inflateSubfile(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                    std::size_t outputSize, std::size_t& unpackedLength) {
#ifdef KESTRIX_INFLATE_WITH_LIBDEFLATE
    return inflateWithLibdeflate(packed, packedSize, output, outputSize, unpackedLength);
#else
    return inflateWithZlib(packed, packedSize, output, outputSize, unpackedLength);
#endif
}

Fault inflateSubfileInto(const std::uint8_t* packed, std::size_t packedSize,
                         platform::Memory& output, std::size_t& unpackedLength) {
#ifdef KESTRIX_INFLATE_WITH_LIBDEFLATE
    // One call into all the room committed: on the systems with this backend, a reserved room
    // without a bound is usable at once and costs only what the data touches.
    return inflateWithLibdeflateInto(packed, packedSize, output, unpackedLength);
#else
    return inflateWithZlibInto(packed, packedSize, output, unpackedLength);
#endif
}

}  // namespace dz
