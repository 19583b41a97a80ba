// The extraction plan: every table entry's sub-file header, read ahead, and the outputs the
// entries make. Entries whose stored names give one file name (as the file system compares
// names) are the pieces of one output, joined in table order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dzlib/container.h"
#include "dzlib/fault.h"
#include "dzlib/records.h"

namespace dz {

// How the sub-file headers are read. `carryOver`: into one record in table order, so that a
// header that cannot be read in full keeps the bytes of the one before it (the way Kestrix
// has always read them). `fresh`: each into a record of zeros, independent of the others.
enum class HeaderReading { carryOver, fresh };

struct PlannedEntry {
    OffsetEntry entry;
    SubfileHeader header;
    // Fault::none, subfileMarker, subfileHeaderDigest, or fileName when the header passed but
    // its name is refused.
    Fault fault = Fault::none;
    std::string outputName;  // when the fault is none
    int output = -1;         // the output it is a piece of, when the fault is none
};

struct PlannedOutput {
    std::string name;                   // as the first piece gives it
    std::vector<std::uint32_t> pieces;  // entry indexes, in table order
};

struct ExtractionPlan {
    std::vector<PlannedEntry> entries;
    std::vector<PlannedOutput> outputs;
};

// Reads the header of every entry of `table` and groups the entries into outputs. An entry is
// a piece of the output its name gives when its header passes its checks and its name is not
// refused; a name longer than `longestName` bytes is refused too.
ExtractionPlan planExtraction(const Container& container, const OffsetTable& table,
                              HeaderReading reading, std::size_t longestName);

// Which piece of its output entry `index` is (from 1) and how many pieces that output has; 0 of
// 0 when the entry is a piece of none.
struct PiecePlace {
    std::size_t piece = 0;
    std::size_t pieces = 0;
};
PiecePlace pieceOf(const ExtractionPlan& plan, std::uint32_t index);

// The bytes a sub-file takes in the container: its header, the header's digest and its packed
// data, from `begin` up to, not including, `end`.
struct Region {
    std::uint64_t begin;
    std::uint64_t end;
};
Region regionOf(const PlannedEntry& entry);

// True when the two regions share a byte. Regions are never empty, so two that start at the
// same offset always overlap.
inline bool overlaps(const Region& a, const Region& b) {
    return a.begin < b.end && b.begin < a.end;
}

}  // namespace dz
