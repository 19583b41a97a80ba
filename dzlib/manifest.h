// The manifest: everything needed to build a container again from extracted files. kx extract
// writes it, and kx pack and the library's pack read it; it is JSON, documented in the README.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dzlib/records.h"
#include "dzlib/wrapper.h"

namespace dz {

// Where an entry's content lies: a file (a path relative to the manifest's folder, with '/'
// between its parts, as the bytes the system gives), and the bytes of it from `offset` on.
struct ContentPlace {
    std::string file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct ManifestEntry {
    std::uint32_t type = 0;
    char name[sizeof(SubfileHeader::name)] = {};                  // the stored field, whole
    std::uint8_t reserved[sizeof(SubfileHeader::reserved)] = {};  // kept as it stands
    Wrapper wrapper;
    std::optional<ContentPlace> content;  // none when the entry was not extracted
    // The extraction that wrote the manifest proved the entry's packed data (it unpacks to its
    // content digest) and found the content there.
    bool proven = false;
    // The entry of the original container it came from (from 0); by default its place here.
    std::optional<std::uint32_t> originalIndex;
};

// The container the files were extracted from, as it was then: what a pack copies unchanged
// entries from.
struct Origin {
    std::string file;  // relative to the manifest's folder (or whole), '/' between its parts
    std::uint64_t size = 0;
    std::int64_t modified = -1;          // its modification time, in the system's units
    std::uint8_t headerDigest[16] = {};  // the digest stored after its main header
};

struct Manifest {
    MainHeader header{};  // the fields as stored; the markers are set when it is written
    std::vector<ManifestEntry> entries;
    std::optional<Origin> origin;  // none in a manifest written before origins were recorded
};

// The largest manifest a pack reads: far more than 127 entries need.
constexpr std::uint64_t kLargestManifest = 16u << 20;

// The manifest as JSON text.
std::string manifestText(const Manifest& manifest);

// Reads a manifest from JSON text; false with the reason in `error` when it is not one (an
// object holding one key twice is not), or a field does not fit its width.
bool parseManifest(const std::string& text, Manifest& manifest, std::string& error);

}  // namespace dz
