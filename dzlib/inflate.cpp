// The backend chosen when the build was configured.
#include "dzlib/inflate.h"

namespace dz {

bool inflateSubfile(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                    std::size_t outputSize, std::size_t& unpackedLength) {
#ifdef KESTRIX_USE_LIBDEFLATE
    return inflateWithLibdeflate(packed, packedSize, output, outputSize, unpackedLength);
#else
    return inflateWithZlib(packed, packedSize, output, outputSize, unpackedLength);
#endif
}

}  // namespace dz
