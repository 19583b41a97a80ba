// Proving several entries a piece at a time on one thread, their digests taken side by side:
// each entry in hand is inflated a slice at a time into a buffer of its own, and the slices of
// all of them go through md5AddMany together, which digests them in a vector register's lanes
// (or two at a time in plain code) faster than one after another. The memory stays flat: for
// each entry in hand, zlib's state, a packed slice and an unpacked slice. The work goes in
// rounds, a slice of each entry in hand, so that a caller may stop between them and go on later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "dzlib/container.h"
#include "dzlib/fault.h"
#include "dzlib/packed_data.h"
#include "dzlib/plan.h"

namespace dz {

// Called as each entry ends: its position among those given, its fault (none, read, unpack or
// contentDigest, as EntryReader finds it) and its content's length.
using SideBySideEnd = std::function<void(std::size_t position, Fault fault, std::uint64_t length)>;

class SideBySide {
  public:
    // The unpacked bytes of each entry in hand that a round takes: a whole number of MD5 blocks,
    // so that every state stays on a block boundary and its bytes go in lanes.
    static constexpr std::size_t kSlice = 256 * 1024;

    // Proves `entries[0..count)` (each header must have passed; all must outlive the prover),
    // `lanes` at a time (at least 1; md5LaneCount() is the most that pays), calling `ended` once
    // for each, in the order they end. The next entry takes the place of one that ended.
    SideBySide(const Container& container, const PlannedEntry* const entries[], std::size_t count,
               std::size_t lanes, PastEnd pastEnd, SideBySideEnd ended);
    ~SideBySide();
    SideBySide(const SideBySide&) = delete;
    SideBySide& operator=(const SideBySide&) = delete;

    // Runs up to `rounds` rounds; false once every entry has ended.
    bool run(std::size_t rounds);

  private:
    struct Lane;
    void take(Lane& lane);

    const Container& container_;
    std::vector<const PlannedEntry*> entries_;
    PastEnd pastEnd_;
    SideBySideEnd ended_;
    std::vector<Lane> hand_;
    std::size_t next_ = 0;  // the next entry to take
};

// All the rounds of a SideBySide at once.
void proveSideBySide(const Container& container, const PlannedEntry* const entries[],
                     std::size_t count, std::size_t lanes, PastEnd pastEnd,
                     const SideBySideEnd& ended);

}  // namespace dz
