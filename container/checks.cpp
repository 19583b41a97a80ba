// The container's integrity checks: markers, sizes and digests.
//
// A read that comes up short leaves the unread rest of its record as it was, and the tests then
// run on the record in that state; a stored digest that cannot be read in full never matches.
#include "container/checks.h"

#include <cstring>

#include "app/console.h"
#include "digest/md5.h"

namespace container {
namespace {

bool markerIs(const char* field, const char* marker) {
    return std::memcmp(field, marker, 4) == 0;
}

// Reads the 16-byte stored digest at the current position and compares it with the MD5 of
// `length` bytes at `bytes`.
bool storedDigestMatches(app::RunState& state, const void* bytes, std::size_t length) {
    std::uint8_t stored[kDigestSize];
    if (state.container.read(stored, sizeof stored) != sizeof stored) return false;
    digest::Digest computed = digest::md5Digest(bytes, length);
    return digest::digestsEqual(stored, computed.data());
}

// Reads `length` bytes at `position` into `record`, keeping what was there where the read
// comes up short.
void readAt(app::RunState& state, std::uint64_t position, void* record, std::size_t length) {
    if (state.container.seek(position)) state.container.read(record, length);
}

}  // namespace

bool checkMainHeader(app::RunState& state) {
    MainHeader& header = state.mainHeader;
    readAt(state, 0, &header, sizeof header);
    if (!markerIs(header.beginMarker, "MSTX") || !markerIs(header.endMarker, "METX")) {
        app::errorLine(state, "Invalid markers in main header.");
        return false;
    }
    if (!storedDigestMatches(state, &header, sizeof header)) {
        app::errorLine(state, "Invalid MD5 hash in main header.");
        return false;
    }
    return true;
}

bool checkOffsetTable(app::RunState& state) {
    const std::int64_t length = state.containerLength;
    char endMarker[4] = {};
    if (length >= 4) readAt(state, static_cast<std::uint64_t>(length - 4), endMarker, 4);
    if (!markerIs(endMarker, "ESTX")) {
        app::errorLine(state, "Invalid end marker in offset-table.");
        return false;
    }

    std::uint32_t bodySize = 0;
    if (length >= 8) readAt(state, static_cast<std::uint64_t>(length - 8), &bodySize, 4);
    const std::int64_t begin = length - 24 - static_cast<std::int64_t>(bodySize);
    char beginMarker[4] = {};
    if (bodySize <= kLargestTableBody && begin >= 0) {
        readAt(state, static_cast<std::uint64_t>(begin), beginMarker, 4);
    }
    if (!markerIs(beginMarker, "OSTX")) {
        app::errorLine(state, "Invalid begin marker or size in offset-table.");
        return false;
    }

    // The stored digest, then the body, lie right after the begin marker.
    std::uint8_t stored[kDigestSize];
    bool digestRead = state.container.read(stored, sizeof stored) == sizeof stored;
    state.container.read(&state.offsetTable, bodySize);
    digest::Digest computed = digest::md5Digest(&state.offsetTable, bodySize);
    if (!digestRead || !digest::digestsEqual(stored, computed.data())) {
        app::errorLine(state, "Invalid MD5 hash in offset-table.");
        return false;
    }

    // The body holds the count, 8 bytes an entry, and its own size at the end.
    if (8 + 8 * static_cast<std::uint64_t>(state.offsetTable.count) > bodySize) {
        app::errorLine(state, "Invalid entry count in offset-table.");
        return false;
    }
    return true;
}

bool checkSubfileHeader(app::RunState& state, std::uint32_t offset) {
    SubfileHeader& header = state.subfileHeader;
    readAt(state, offset, &header, sizeof header);
    if (!markerIs(header.marker, "SSTX")) {
        app::errorLine(state, "Invalid marker in subfile-header.");
        return false;
    }
    if (!storedDigestMatches(state, &header, sizeof header)) {
        app::errorLine(state, "Invalid MD5 hash in subfile-header.");
        return false;
    }
    return true;
}

}  // namespace container
