// Builds DZ containers for the tests: valid by default, with every marker, size and digest right,
// and open to any damage a test wants to do afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct SubfilePlan {
    SubfilePlan() = default;
    SubfilePlan(std::string name, std::uint32_t type, std::string content)
        : name(std::move(name)), type(type), content(std::move(content)) {}

    std::string name;  // stored as it stands, cut at 144 bytes (no zero when it fills them)
    std::uint32_t type = 1;
    std::string content;
    bool gzip = false;  // the deflate stream's wrapper: gzip, or zlib when false
    int level = 6;
    std::optional<std::uint64_t> at;    // header position; by default right after what precedes
    std::optional<std::string> packed;  // stored packed bytes, instead of compressing `content`
    std::optional<std::uint32_t> packedSize;  // stored packed size, instead of packed.size()
};

struct ContainerPlan {
    std::uint32_t version = 2;
    std::optional<std::uint32_t> subfileCount;           // by default the number of sub-files
    std::uint64_t creationTime = 129143443100000000ULL;  // 2010-03-29 13:51:50 UTC
    std::string phoneModel = "KX100";
    std::string internalName = "KX100AT-00-V10a-EUR-XX";
    std::string chip = "QSD8650";
    std::string fileName = "KX100AT-00-V10a.dz";
    std::vector<SubfilePlan> subfiles;
    // Table entries as (type, offset), instead of one entry for each sub-file.
    std::optional<std::vector<std::pair<std::uint32_t, std::uint32_t>>> entries;
    std::optional<std::uint64_t> tableAt;  // position of "OSTX"; by default after the sub-files
};

// A built container: pieces placed at their positions, holes between them read as zeros.
struct ContainerImage {
    struct Piece {
        std::uint64_t position;
        std::string bytes;
    };
    std::vector<Piece> pieces;
    std::uint64_t length = 0;
    std::vector<std::uint64_t> subfileAt;  // header position of each sub-file
    std::uint64_t tableAt = 0;             // position of "OSTX"

    // The whole container in memory (for small ones).
    std::string flat() const;
    // Writes the container to `path`, leaving holes sparse; returns false on a write error.
    bool writeTo(const std::string& path) const;
};

ContainerImage buildContainer(const ContainerPlan& plan);

// The stored packed bytes for content with a zlib (or gzip) wrapper.
std::string deflateContent(const std::string& content, bool gzip, int level = 6);

// Damage and repair on flat bytes.
void put32(std::string& bytes, std::size_t position, std::uint32_t value);
void put64(std::string& bytes, std::size_t position, std::uint64_t value);
std::uint32_t get32(const std::string& bytes, std::size_t position);
// Rewrites the 16-byte digest stored right after `length` bytes at `position`.
void reseal(std::string& bytes, std::size_t position, std::size_t length);
// Rewrites the table's digest over its body, as the container's end gives it.
void resealTable(std::string& bytes);

// `length` bytes that deflate cannot make smaller, the same for the same `seed`.
std::string noise(std::size_t length, std::uint32_t seed);

// The MD5 of some bytes, as 16 raw bytes.
std::string md5Of(const std::string& bytes);

bool writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

}  // namespace testsupport
