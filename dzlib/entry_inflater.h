// Inflating one entry's packed data a piece at a time, without its digest: the packed data read
// from the container a slice at a time and inflated through an InflateStream into the caller's
// buffer. EntryReader adds the digest; the side-by-side prover digests several entries' bytes
// at once. The memory stays flat whatever the entry's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dzlib/container.h"
#include "dzlib/fault.h"
#include "dzlib/inflate_stream.h"
#include "dzlib/packed_data.h"
#include "dzlib/plan.h"

namespace dz {

class EntryInflater {
  public:
    // The entry `entry` of `container` (its header must have passed); both must outlive the
    // inflater. Bytes of its packed data past the end of the container read as `pastEnd` says.
    EntryInflater(const Container& container, const PlannedEntry& entry, PastEnd pastEnd);

    // Writes up to `room` bytes of content at `out` (room > 0) and returns how many; 0 only once
    // the inflater is done.
    std::size_t read(std::uint8_t* out, std::size_t room);

    bool done() const { return done_; }
    // Once done: Fault::none when the stream ended whole (its content not yet judged by its
    // digest), read (the container could not be read) or unpack (the stream is damaged, cut
    // short or past 4 GiB). The packed data is read only as far as the stream goes.
    Fault fault() const { return fault_; }
    // The unpacked bytes so far.
    std::uint64_t length() const { return inflate_.total(); }
    // The packed bytes read so far, of the entry's packed size.
    std::uint64_t packedRead() const { return fed_; }
    const PlannedEntry& entry() const { return entry_; }

  private:
    void finish(Fault fault);

    const Container& container_;
    const PlannedEntry& entry_;
    PastEnd pastEnd_;
    InflateStream inflate_;
    std::vector<std::uint8_t> slice_;
    std::uint64_t fed_ = 0;  // packed bytes given to the inflater
    bool done_ = false;
    Fault fault_ = Fault::none;
};

}  // namespace dz
