// zlib's inflate with a fixed output window, for streams of any size.
//
// It reads the wrapper and the deflate data as the zlib backend's one call does (the same
// window bits, so the same wrappers): a call that stops for want of input or room and goes on
// later reads what one call would have read. Back references reach into zlib's own 32 KiB window,
// which is all a deflate distance can reach.
#include "dzlib/inflate_stream.h"

#include <zlib.h>

#include <algorithm>

#include "dzlib/zlib_inflater.h"

namespace dz {

struct InflateStream::Zlib : ZlibInflater {};

InflateStream::InflateStream(std::uint64_t limit)
    : zlib_(std::make_unique<Zlib>()), limit_(std::min<std::uint64_t>(limit, kLargestStored)) {
    // A zlib or gzip wrapper, detected from the data, and a 32 KiB window.
    zlib_->open = inflateInit2(&zlib_->stream, 15 + 32) == Z_OK;
    if (!zlib_->open) state_ = State::refused;
}

InflateStream::~InflateStream() = default;

void InflateStream::give(const std::uint8_t* bytes, std::size_t length, bool last) {
    if (state_ != State::needsInput) return;
    z_stream& stream = zlib_->stream;
    // zlib counts its input in 32 bits; a caller gives slices.
    stream.next_in = const_cast<Bytef*>(bytes);
    stream.avail_in = static_cast<uInt>(std::min<std::size_t>(length, UINT32_MAX));
    last_ = last && stream.avail_in == length;
    state_ = State::more;
}

std::size_t InflateStream::read(std::uint8_t* out, std::size_t room) {
    if (state_ != State::more || room == 0) return 0;
    z_stream& stream = zlib_->stream;
    stream.next_out = out;
    // No more room than reaches one byte past the limit: that byte tells that it is passed.
    stream.avail_out = static_cast<uInt>(
        std::min<std::uint64_t>({room, limit_ - total_ + 1, std::uint64_t{UINT32_MAX}}));
    const uInt offered = stream.avail_out;
    const uInt given = stream.avail_in;
    const int result = inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = offered - stream.avail_out;
    if (produced > limit_ - total_) {
        state_ = State::refused;
        return 0;
    }
    total_ += produced;
    if (result == Z_STREAM_END) {
        state_ = State::ended;
    } else if (result != Z_OK && result != Z_BUF_ERROR) {
        // Z_DATA_ERROR (damaged, or a check value that does not match), Z_NEED_DICT (a preset
        // dictionary), Z_MEM_ERROR.
        state_ = State::refused;
    } else if (stream.avail_in == 0 && stream.avail_out != 0) {
        // All that was given is read, and room is left: the stream wants more packed bytes.
        state_ = last_ ? State::refused : State::needsInput;
    } else if (produced == 0 && stream.avail_in == given) {
        // No progress with input and room at hand: zlib would never go on.
        state_ = State::refused;
    }
    return produced;
}

}  // namespace dz
