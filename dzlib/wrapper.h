// The wrapper around a sub-file's deflate stream: a zlib header (two bytes) and an Adler-32, or a
// gzip header (with its optional fields) and a CRC-32 and length. Read from a stream so that a
// container can be built again with the same wrappers, and written around a new stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace dz {

struct Wrapper {
    bool gzip = false;
    // zlib: the two header bytes (method and window, flags and check bits).
    std::uint8_t zlibHeader[2] = {0x78, 0x9c};
    // gzip: the header's fields. The text flag is kept as it was; a header CRC is written when
    // `headerCrc` is set.
    std::uint32_t modificationTime = 0;
    std::uint8_t extraFlags = 0;
    std::uint8_t operatingSystem = 255;  // unknown
    bool text = false;
    bool headerCrc = false;
    std::optional<std::string> extra;    // FEXTRA's bytes
    std::optional<std::string> name;     // FNAME, without its closing zero
    std::optional<std::string> comment;  // FCOMMENT, without its closing zero
};

// Reads the wrapper of the stream at `data`: gzip when it starts with 1f 8b (as inflate tells the
// two), zlib otherwise. False when the header runs past `size` bytes or is not one that inflate
// accepts without a preset dictionary.
bool readWrapper(const std::uint8_t* data, std::size_t size, Wrapper& wrapper);

// The same, giving the header's length in bytes (2 for zlib's), or 0 where readWrapper is false.
std::size_t readWrapperHeader(const std::uint8_t* data, std::size_t size, Wrapper& wrapper);

// True when the wrapper can be written as it stands: a zlib header that inflate accepts (deflate,
// a window of at most 32 KiB, no preset dictionary, right check bits), and gzip fields that fit
// (FEXTRA at most 65,535 bytes; no zero byte inside the name or comment).
bool wrapperIsWritable(const Wrapper& wrapper);

// The header bytes of the wrapper.
std::string wrapperHeader(const Wrapper& wrapper);

// The trailer for `length` bytes of content whose check value, as the wrapper wants it, is
// `check`: the Adler-32 for zlib, the CRC-32 for gzip.
std::string wrapperTrailer(const Wrapper& wrapper, std::uint32_t check, std::uint64_t length);

}  // namespace dz
