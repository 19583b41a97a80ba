// Inflating one sub-file a piece at a time: packed bytes go in as the caller has them, unpacked
// bytes come out into the caller's buffer. The memory stays flat whatever the sub-file's size:
// zlib's state and its 32 KiB window. It accepts and refuses exactly the streams that
// inflateSubfile (dzlib/inflate.h) does with an output of `limit` bytes, and gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "dzlib/records.h"

namespace dz {

class InflateStream {
  public:
    // A stream whose unpacked bytes may come to at most `limit` (at most kLargestStored, as the
    // whole-buffer inflaters take).
    explicit InflateStream(std::uint64_t limit = kLargestStored);
    ~InflateStream();
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    enum class State {
        needsInput,  // give() the next packed bytes
        more,        // read() again: there may be more unpacked bytes
        ended,       // the stream ended within the limit, its check values verified
        refused,     // damaged, cut short, a preset dictionary asked for, or past the limit
    };

    // The next `length` packed bytes (less than 4 GiB), which must stay where they are until the
    // stream needs input again; `last` when no more follow (then a stream that has not ended is
    // cut short). Only when the state is needsInput.
    void give(const std::uint8_t* bytes, std::size_t length, bool last);

    // Inflates into the `room` bytes at `out` (room > 0) and returns how many it wrote; state()
    // then says what comes next. Bytes after the end of the stream are ignored. A read that
    // finds the stream refused returns 0.
    std::size_t read(std::uint8_t* out, std::size_t room);

    State state() const { return state_; }
    // The unpacked bytes read so far.
    std::uint64_t total() const { return total_; }

  private:
    struct Zlib;
    std::unique_ptr<Zlib> zlib_;
    std::uint64_t limit_;
    std::uint64_t total_ = 0;
    bool last_ = false;
    State state_ = State::needsInput;
};

}  // namespace dz
