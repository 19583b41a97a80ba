// Reading one entry's content a piece at a time and proving it as it goes: inflated through an
// EntryInflater, its MD5 taken as the bytes come and compared with the header's at the end. The
// memory stays flat whatever the entry's size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5.h"
#include "dzlib/container.h"
#include "dzlib/entry_inflater.h"
#include "dzlib/fault.h"
#include "dzlib/packed_data.h"
#include "dzlib/plan.h"

namespace dz {

class EntryReader {
  public:
    // The entry `entry` of `container` (its header must have passed); both must outlive the
    // reader. Bytes of its packed data past the end of the container read as `pastEnd` says.
    EntryReader(const Container& container, const PlannedEntry& entry, PastEnd pastEnd);

    // Writes up to `room` bytes of content at `out` (room > 0) and returns how many; 0 only once
    // the reader is done.
    std::size_t read(std::uint8_t* out, std::size_t room);

    bool done() const { return inflater_.done(); }
    // Once done: Fault::none when the content ended whole and matches its digest; read (the
    // container could not be read), unpack (the stream is damaged, cut short or past 4 GiB) or
    // contentDigest. The packed data is read only as far as the stream goes.
    Fault fault() const { return fault_; }
    // The unpacked bytes so far.
    std::uint64_t length() const { return inflater_.length(); }
    // The packed bytes read so far, of the entry's packed size.
    std::uint64_t packedRead() const { return inflater_.packedRead(); }

  private:
    EntryInflater inflater_;
    digest::Md5State md5_;
    Fault fault_ = Fault::none;
};

}  // namespace dz
