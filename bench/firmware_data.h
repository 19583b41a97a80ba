// The whole-program benchmark's container: about 1 GiB of firmware-like unpacked data in several
// dozen sub-files, built with the test container writer and kept between runs while its recipe
// is unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// What the built container holds, saved beside it.
struct FirmwareFacts {
    struct Entry {
        std::string name;
        std::uint64_t packed = 0;  // the stored packed data, wrapper included
        std::uint64_t unpacked = 0;
    };
    struct Output {
        std::string name;
        std::uint64_t size = 0;
        std::string md5;  // lower-case hexadecimal
    };
    std::string recipe;  // the MD5 of the recipe it was built from
    std::uint64_t containerLength = 0;
    std::vector<Entry> entries;
    std::vector<Output> outputs;  // entries of one name joined, in order of first appearance

    std::uint64_t packedTotal() const;
    std::uint64_t unpackedTotal() const;
    std::uint64_t largestPacked() const;
    std::uint64_t largestUnpacked() const;
    // The most one entry holds in memory while it is unpacked: its packed and unpacked bytes.
    const Entry& largestEntry() const;
};

// Makes sure `directory` holds the container (about 1 GiB unpacked, or about 128 MiB when
// `quick`) and its facts, building both when they are missing or from another recipe. Returns
// the container's path, or "" when it could not be built. The build runs in a child process, so
// that this process stays small: a program it starts later would otherwise count its memory in
// its own peak.
std::string prepareFirmware(const std::string& directory, bool quick, FirmwareFacts& facts);

// The container at `path` (one made beforehand, as bench/make-realdata.sh makes the one of real
// files) with the facts saved beside it (the same path ending in .facts instead of .dz). False
// when either is missing or they do not agree on the container's length.
bool loadPreparedContainer(const std::string& path, FirmwareFacts& facts);

// The MD5 of a file in lower-case hexadecimal, "" when it cannot be read.
std::string md5OfFile(const std::string& path);

}  // namespace bench
