// The three integrity checks. Each reads its record into the caller's copy, tests markers before
// digests, and returns the first failing test. A read that comes up short leaves the unread
// rest of the record as it was, and the tests then run on the record in that state; a stored
// digest that cannot be read in full never matches.
#pragma once

#include <cstdint>

#include "dzlib/container.h"
#include "dzlib/fault.h"
#include "dzlib/records.h"

namespace dz {

// Reads the main header at 0 and its digest: Fault::none, mainHeaderMarkers or mainHeaderDigest.
Fault verifyMainHeader(const Container& container, MainHeader& header);

// Reads the offset table from the end of the container into `table`: Fault::none,
// tableEndMarker, tableBeginMarkerOrSize, tableDigest, or tableEntryCount when the count claims
// more entries than the body holds.
Fault verifyOffsetTable(const Container& container, OffsetTable& table);

// Reads the sub-file header at `offset` and its digest: Fault::none, subfileMarker or
// subfileHeaderDigest. The packed data follows at offset + kSubfileDataOffset.
Fault verifySubfileHeader(const Container& container, std::uint64_t offset, SubfileHeader& header);

// Whether a container whose table's end marker is missing seems cut short, as an interrupted
// download leaves it: it starts as a container does, and its sub-files, followed one after
// another from the main header, run past its end, or the table they lead to does.
bool looksCutShort(const Container& container);

}  // namespace dz
