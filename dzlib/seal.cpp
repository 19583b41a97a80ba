// Sealing records with their digests.
#include "dzlib/seal.h"

#include <cstring>

#include "digest/md5.h"

namespace dz {
namespace {

std::string sealed(const void* record, std::size_t size) {
    std::string bytes(static_cast<const char*>(record), size);
    const digest::Digest d = digest::md5Digest(record, size);
    return bytes + std::string(d.begin(), d.end());
}

}  // namespace

std::string sealedMainHeader(const MainHeader& header) {
    return sealed(&header, sizeof header);
}

std::string sealedSubfileHeader(const SubfileHeader& header) {
    return sealed(&header, sizeof header);
}

std::string sealedOffsetTable(const std::vector<OffsetEntry>& entries) {
    OffsetTable table{};
    table.count = static_cast<std::uint32_t>(entries.size());
    if (!entries.empty()) {
        std::memcpy(table.entries, entries.data(), entries.size() * sizeof(OffsetEntry));
    }
    const std::uint32_t size = 4 + 8 * table.count + 4;
    // The body ends with its own size, right after the last entry.
    std::memcpy(reinterpret_cast<char*>(&table) + size - 4, &size, 4);
    const digest::Digest d = digest::md5Digest(&table, size);
    return kTableBeginMarker + std::string(d.begin(), d.end()) +
           std::string(reinterpret_cast<const char*>(&table), size) + kTableEndMarker;
}

}  // namespace dz
