// The zlib backend: one inflate call over the whole packed buffer into the whole output buffer.
#include <zlib.h>

#include <cstdint>

#include "dzlib/inflate.h"
#include "platform/platform.h"

namespace dz {

namespace {

// Owns an initialised z_stream and ends it on every path.
class InflateStream {
  public:
    InflateStream() = default;
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    ~InflateStream() {
        if (initialised_) inflateEnd(&stream_);
    }

    // Sets up for a zlib or gzip wrapper (detected from the data) and a 32 KiB window.
    bool init() {
        stream_.zalloc = Z_NULL;
        stream_.zfree = Z_NULL;
        stream_.opaque = Z_NULL;
        stream_.next_in = Z_NULL;
        stream_.avail_in = 0;
        initialised_ = inflateInit2(&stream_, 15 + 32) == Z_OK;
        return initialised_;
    }

    z_stream& get() { return stream_; }

  private:
    z_stream stream_{};
    bool initialised_ = false;
};

}  // namespace

// Inflates `packed` into `output` in one call; true only when the stream and its checks end well.
bool inflateWithZlib(const std::uint8_t* packed, std::size_t packedSize, std::uint8_t* output,
                     std::size_t outputSize, std::size_t& unpackedLength) {
    // zlib counts in 32 bits; refuse rather than truncate a size it cannot take.
    if (packedSize > UINT32_MAX || outputSize > UINT32_MAX) return false;
    if ((packed == nullptr && packedSize != 0) || (output == nullptr && outputSize != 0)) {
        return false;
    }
    // zlib rejects a null output pointer even when there is no room to write, so an empty
    // output buffer points at a byte that is never written; an empty stream then still ends.
    std::uint8_t noRoom = 0;

    InflateStream holder;
    if (!holder.init()) return false;
    z_stream& stream = holder.get();
    stream.next_in = const_cast<Bytef*>(packed);
    stream.avail_in = static_cast<uInt>(packedSize);
    stream.next_out = output != nullptr ? output : &noRoom;
    stream.avail_out = static_cast<uInt>(outputSize);
    // Z_NEED_DICT (a preset dictionary), Z_DATA_ERROR and Z_BUF_ERROR (cut short, or no room
    // left) all fail: only a stream that ends, with its checks verified, succeeds.
    if (inflate(&stream, Z_FINISH) != Z_STREAM_END) return false;
    unpackedLength = static_cast<std::size_t>(stream.total_out);
    return true;
}

// Inflates `packed` into `output`, committing more room whenever inflate runs out of it.
// Carrying on after Z_BUF_ERROR with more room gives what one call with all the room gives.
Fault inflateWithZlibInto(const std::uint8_t* packed, std::size_t packedSize,
                          platform::Memory& output, std::size_t& unpackedLength) {
    if (packedSize > UINT32_MAX || output.bytes() == nullptr) return Fault::unpack;
    if (packed == nullptr && packedSize != 0) return Fault::unpack;
    constexpr std::size_t kFirstRoom = std::size_t{4} << 20;

    InflateStream holder;
    if (!holder.init()) return Fault::unpack;
    z_stream& stream = holder.get();
    stream.next_in = const_cast<Bytef*>(packed);
    stream.avail_in = static_cast<uInt>(packedSize);
    std::size_t produced = 0;
    for (;;) {
        // Without memory for more room, one call with none still tells whether the stream ended.
        bool noMoreMemory = false;
        if (produced == output.committed()) {
            std::size_t wanted = output.committed() * 2;
            if (wanted < kFirstRoom) wanted = kFirstRoom;
            if (wanted > output.size()) wanted = output.size();
            noMoreMemory = wanted > produced && output.commitWhatFits(wanted) == produced;
        }
        const std::size_t room = output.committed() - produced;
        // With no room left at all, inflate still tells an ended stream from one that needs more.
        std::uint8_t noRoom = 0;
        stream.next_out = room > 0 ? output.bytes() + produced : &noRoom;
        stream.avail_out = static_cast<uInt>(room < UINT32_MAX ? room : UINT32_MAX);
        const uInt offered = stream.avail_out;
        const int result = inflate(&stream, Z_FINISH);
        produced += offered - stream.avail_out;
        if (result == Z_STREAM_END) break;
        if (noMoreMemory) return Fault::unpackedMemory;
        // Only a call that filled all the room it had may go on with more; one that stopped with
        // room left has run out of input or met bad data.
        if ((result != Z_BUF_ERROR && result != Z_OK) || stream.avail_out != 0 ||
            produced == output.size()) {
            return Fault::unpack;
        }
    }
    unpackedLength = produced;
    return Fault::none;
}

}  // namespace dz
