// Records as a container stores them, each sealed with the MD5 digest that guards it: what a
// container writer puts down.
#pragma once

#include <string>
#include <vector>

#include "dzlib/records.h"

namespace dz {

// The main header and its digest: 316 bytes.
std::string sealedMainHeader(const MainHeader& header);

// A sub-file header and its digest: 196 bytes, then the packed data follows.
std::string sealedSubfileHeader(const SubfileHeader& header);

// The end of a container: "OSTX", the digest of the table body, the body (the count, the
// entries, and the body's own size), "ESTX". At most kLargestEntryCount entries.
std::string sealedOffsetTable(const std::vector<OffsetEntry>& entries);

}  // namespace dz
