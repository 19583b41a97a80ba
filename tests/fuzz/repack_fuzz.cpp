// Fuzz target: the input is three bytes of choices and then an original packed stream. Its
// content (none when it does not inflate) with one byte changed or added is repacked from it,
// and whatever the original holds (damaged, cut short, bytes after its end, a preset
// dictionary), the result must inflate to exactly that content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dzlib/compress.h"
#include "dzlib/inflate.h"
#include "dzlib/repack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kLargestContent = std::size_t{4} << 20;
    if (size < 3) return 0;
    const std::uint8_t* const original = data + 3;
    const std::size_t originalSize = size - 3;
    std::vector<std::uint8_t> content(kLargestContent);
    std::size_t length = 0;
    if (!dz::inflateWithZlib(original, originalSize, content.data(), content.size(), length)) {
        length = 0;
    }
    content.resize(length);
    // Where the change falls, as a share of the content; a byte changed, or one added there.
    const std::size_t at = length * (data[0] | data[1] << 8) / 65536;
    if (data[2] & 0x80) {
        content.insert(content.begin() + static_cast<std::ptrdiff_t>(at), data[2]);
    } else if (length > 0) {
        content[at] ^= data[2] | 1;
    }
    dz::Wrapper wrapper;
    wrapper.gzip = originalSize >= 2 && original[0] == 0x1f && original[1] == 0x8b;
    platform::Memory room = platform::Memory::reserve(dz::packedBound(content.size(), wrapper));
    std::size_t packed = 0;
    if (!dz::repackContent(original, originalSize, content.data(), content.size(), wrapper,
                           data[2] % 10, room, packed)) {
        return 0;  // no memory
    }
    std::vector<std::uint8_t> back(content.size() + 1);
    std::size_t unpacked = 0;
    if (!dz::inflateWithZlib(room.bytes(), packed, back.data(), back.size(), unpacked) ||
        unpacked != content.size() || std::memcmp(back.data(), content.data(), unpacked) != 0) {
        std::abort();  // a stream that does not give the new content
    }
    return 0;
}
