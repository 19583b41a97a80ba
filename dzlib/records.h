// The records of a DZ container, laid out exactly as they stand in the file.
//
// Every integer is unsigned and stored least significant byte first; offsets and sizes are 32
// bits wide. Markers are four ASCII bytes. Text fields hold zero-terminated text, but a field
// may fill its whole width with no zero: read them through fieldText() only. Digests are the
// 16 raw bytes of an MD5.
//
// A container of length L:
//   0              MainHeader (300 bytes), then the MD5 of those 300 bytes (16)
//   anywhere       sub-files at the offsets the table gives: SubfileHeader (180 bytes), the MD5
//                  of those 180 bytes (16), then the packed data (one deflate stream with a zlib
//                  or gzip wrapper)
//   L - 24 - N     "OSTX", the MD5 of the table body (16), the table body of N bytes
//   L - 4          "ESTX"
// N is stored at L - 8: the table body ends with its own size, and its digest covers it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dz {

#pragma pack(push, 1)

struct MainHeader {
    char beginMarker[4];  // "MSTX"
    char endMarker[4];    // "METX"
    std::uint32_t version;
    std::uint32_t subfileCount;  // shown in the report; extraction goes by the table
    std::uint64_t creationTime;  // Windows file time: 100 ns intervals since 1601-01-01 UTC
    char phoneModel[8];
    char internalName[80];
    char chip[28];
    char fileName[160];
};

struct OffsetEntry {
    std::uint32_t type;
    std::uint32_t offset;  // absolute position of the sub-file's header
};

// The area that receives the table body: the count and room for 128 entries. A body of at most
// 1028 bytes ends with its size field, so it holds at most 127 entries.
struct OffsetTable {
    std::uint32_t count;
    OffsetEntry entries[128];
};

struct SubfileHeader {
    char marker[4];  // "SSTX"
    std::uint8_t reserved[12];
    std::uint32_t packedSize;
    char name[144];
    std::uint8_t unpackedDigest[16];
};

#pragma pack(pop)

static_assert(sizeof(MainHeader) == 300, "the main header is 300 bytes");
static_assert(sizeof(SubfileHeader) == 180, "a sub-file header is 180 bytes");
static_assert(sizeof(OffsetTable) == 1028, "the table area is 1028 bytes");
static_assert(sizeof(OffsetEntry) == 8, "a table entry is 8 bytes");
static_assert(offsetof(MainHeader, creationTime) == 16 && offsetof(MainHeader, chip) == 112 &&
                  offsetof(MainHeader, fileName) == 140,
              "main header fields at their stored offsets");
static_assert(offsetof(SubfileHeader, packedSize) == 16 &&
                  offsetof(SubfileHeader, unpackedDigest) == 164,
              "sub-file header fields at their stored offsets");

// The four-byte markers, as they stand in the file (the closing zero is not part of them).
constexpr char kMainHeaderBeginMarker[] = "MSTX";
constexpr char kMainHeaderEndMarker[] = "METX";
constexpr char kTableBeginMarker[] = "OSTX";
constexpr char kTableEndMarker[] = "ESTX";
constexpr char kSubfileMarker[] = "SSTX";
constexpr std::size_t kMarkerSize = 4;

constexpr std::size_t kDigestSize = 16;
// Every offset and size a container stores is 32-bit: no sub-file, packed or unpacked, is larger.
constexpr std::uint64_t kLargestStored = UINT32_MAX;
constexpr std::uint32_t kLargestTableBody = sizeof(OffsetTable);
// The count, the entries and the size field in at most kLargestTableBody bytes.
constexpr std::uint32_t kLargestEntryCount = (kLargestTableBody - 8) / sizeof(OffsetEntry);
// A sub-file's packed data follows its header and the header's digest.
constexpr std::uint64_t kSubfileDataOffset = sizeof(SubfileHeader) + kDigestSize;

// The records are read as they stand; this reader runs on little-endian machines only.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "container integers are little-endian");

}  // namespace dz
