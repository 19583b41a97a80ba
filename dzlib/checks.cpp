// The container's integrity checks: markers, sizes and digests.
#include "dzlib/checks.h"

#include <cstring>

#include "digest/md5.h"

namespace dz {
namespace {

bool markerIs(const char* field, const char* marker) {
    return std::memcmp(field, marker, kMarkerSize) == 0;
}

// Reads the 16-byte stored digest at `position` and compares it with the MD5 of `length`
// bytes at `bytes`.
bool storedDigestMatches(const Container& container, std::uint64_t position, const void* bytes,
                         std::size_t length) {
    std::uint8_t stored[kDigestSize];
    if (container.readAt(position, stored, sizeof stored) != sizeof stored) return false;
    digest::Digest computed = digest::md5Digest(bytes, length);
    return digest::digestsEqual(stored, computed.data());
}

}  // namespace

Fault verifyMainHeader(const Container& container, MainHeader& header) {
    container.readAt(0, &header, sizeof header);
    if (!markerIs(header.beginMarker, kMainHeaderBeginMarker) ||
        !markerIs(header.endMarker, kMainHeaderEndMarker)) {
        return Fault::mainHeaderMarkers;
    }
    if (!storedDigestMatches(container, sizeof header, &header, sizeof header)) {
        return Fault::mainHeaderDigest;
    }
    return Fault::none;
}

Fault verifyOffsetTable(const Container& container, OffsetTable& table) {
    const std::int64_t length = container.length();
    char endMarker[kMarkerSize] = {};
    if (length >= 4) {
        container.readAt(static_cast<std::uint64_t>(length) - kMarkerSize, endMarker, kMarkerSize);
    }
    if (!markerIs(endMarker, kTableEndMarker)) return Fault::tableEndMarker;

    std::uint32_t bodySize = 0;
    if (length >= 8) container.readAt(static_cast<std::uint64_t>(length - 8), &bodySize, 4);
    const std::int64_t begin = length - 24 - static_cast<std::int64_t>(bodySize);
    char beginMarker[kMarkerSize] = {};
    if (bodySize <= kLargestTableBody && begin >= 0) {
        container.readAt(static_cast<std::uint64_t>(begin), beginMarker, kMarkerSize);
    }
    if (!markerIs(beginMarker, kTableBeginMarker)) return Fault::tableBeginMarkerOrSize;

    // The stored digest, then the body, lie right after the begin marker.
    const auto digestAt = static_cast<std::uint64_t>(begin) + kMarkerSize;
    std::uint8_t stored[kDigestSize];
    const bool digestRead = container.readAt(digestAt, stored, sizeof stored) == sizeof stored;
    container.readAt(digestAt + kDigestSize, &table, bodySize);
    digest::Digest computed = digest::md5Digest(&table, bodySize);
    if (!digestRead || !digest::digestsEqual(stored, computed.data())) return Fault::tableDigest;

    // The body holds the count, 8 bytes an entry, and its own size at the end.
    if (8 + 8 * static_cast<std::uint64_t>(table.count) > bodySize) return Fault::tableEntryCount;
    return Fault::none;
}

Fault verifySubfileHeader(const Container& container, std::uint64_t offset, SubfileHeader& header) {
    container.readAt(offset, &header, sizeof header);
    if (!markerIs(header.marker, kSubfileMarker)) return Fault::subfileMarker;
    if (!storedDigestMatches(container, offset + sizeof header, &header, sizeof header)) {
        return Fault::subfileHeaderDigest;
    }
    return Fault::none;
}

bool looksCutShort(const Container& container) {
    const std::int64_t signedLength = container.length();
    if (signedLength < 4) return false;
    const auto length = static_cast<std::uint64_t>(signedLength);
    char marker[kMarkerSize] = {};
    container.readAt(0, marker, kMarkerSize);
    if (!markerIs(marker, kMainHeaderBeginMarker)) return false;
    std::uint64_t at = sizeof(MainHeader) + kDigestSize;
    // A table holds at most kLargestEntryCount entries: no longer a chain is followed.
    for (std::uint32_t i = 0; i <= kLargestEntryCount; ++i) {
        char begin[kMarkerSize] = {};
        container.readAt(at, begin, sizeof begin);
        if (markerIs(begin, kTableBeginMarker)) {
            // The table begins here: the file is cut short when it ends before the table does.
            std::uint32_t count = 0;
            if (container.readAt(at + kMarkerSize + kDigestSize, &count, 4) != 4) return true;
            const std::uint64_t body = 8 + 8 * static_cast<std::uint64_t>(count);
            return at + kMarkerSize + kDigestSize + body + kMarkerSize > length;
        }
        if (at + kSubfileDataOffset > length) return true;
        SubfileHeader header;
        container.readAt(at, &header, sizeof header);
        if (!markerIs(header.marker, kSubfileMarker)) return false;
        at += kSubfileDataOffset + header.packedSize;
    }
    return false;
}

}  // namespace dz
