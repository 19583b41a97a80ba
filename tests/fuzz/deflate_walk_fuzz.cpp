// Fuzz target: the deflate code check's fast walk against its simple walk
// (dzlib/deflate_check.h). The input's first byte chooses an output room for the libdeflate
// backend's policy (its low 7 bits times 64 bytes, or times 64 KiB when its high bit is set);
// the rest is raw deflate data. Under every policy of testsupport::compareWalks the two walks
// must end alike and ask their policy the same things.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/walk_recorder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t room = std::size_t{data[0] & 0x7fu} * (data[0] & 0x80u ? 65536 : 64);
    // A heap copy of exactly the deflate data, so that a read past it shows.
    const std::vector<std::uint8_t> copy(data + 1, data + size);
    const std::string differs = testsupport::compareWalks(copy.data(), copy.size(), {room});
    if (!differs.empty()) {
        std::fprintf(stderr, "the walks differ: %s\n", differs.c_str());
        std::abort();
    }
    return 0;
}
