// Sub-file extraction.
#include "container/extract.h"

#include <cstring>

#include "app/console.h"
#include "container/checks.h"
#include "container/inflate.h"
#include "container/output_name.h"
#include "container/text_field.h"
#include "digest/md5.h"

namespace container {
namespace {

// Fresh memory for one sub-file, released on every path out of it.
class FreshBuffer {
  public:
    explicit FreshBuffer(std::size_t size)
        : size_(size), bytes_(static_cast<std::uint8_t*>(platform::freshMemory(size))) {}
    FreshBuffer(const FreshBuffer&) = delete;
    FreshBuffer& operator=(const FreshBuffer&) = delete;
    ~FreshBuffer() { platform::releaseMemory(bytes_, size_); }
    std::uint8_t* bytes() const { return bytes_; }

  private:
    std::size_t size_;
    std::uint8_t* bytes_;
};

// Whether this run already wrote to `path`: later sub-files for it are appended.
bool alreadyWritten(const app::WrittenTypes& written, const char* path) {
    for (int i = 0; i < written.pathCount; ++i) {
        if (platform::samePath(written.paths[i], path)) return true;
    }
    return false;
}

void recordWritten(app::WrittenTypes& written, const char* path, std::uint32_t type) {
    if (type >= 1 && type <= 32) written.mask |= 1u << (type - 1);
    if (alreadyWritten(written, path)) return;
    // A table holds at most 127 entries, so every path written fits.
    std::strcpy(written.paths[written.pathCount++], path);
}

// Writes the unpacked bytes to `path`, creating it or appending to it. On failure the file is
// left as it was before: a file this call created is removed, one it appended to is cut back.
// The container itself is never written over.
bool writeOutput(const platform::File& container, const char* path, bool append,
                 const std::uint8_t* bytes, std::size_t length) {
    if (platform::isSameFile(container, path)) return false;
    bool created = true;
    platform::File file =
        append ? platform::File::openAppend(path, created) : platform::File::create(path);
    if (!file.isOpen()) return false;
    const std::int64_t earlierLength = created ? 0 : file.size();
    if (earlierLength >= 0) {
        file.reserve(length);
        if (file.write(bytes, length) && file.close()) return true;
    }
    if (created) {
        file.close();
        platform::removeFile(path);
    } else if (earlierLength >= 0) {
        // A failed close has let the handle go: open the file again to cut it back.
        if (!file.isOpen()) file = platform::File::openAppend(path, created);
        file.truncate(static_cast<std::uint64_t>(earlierLength));
    }
    return false;
}

}  // namespace

void prepareOutputDir(app::RunState& state) {
    const char* directory = ".";
    if (state.arguments.count == 3 && state.arguments.tokens[2][0] != '\0') {
        directory = state.arguments.tokens[2];
    }
    std::size_t length = std::strlen(directory);
    if (length + 2 > sizeof state.outputPrefix) {
        // No output path can fit: every sub-file is refused by name.
        state.outputPrefix[0] = '\0';
        state.outputPrefixLength = sizeof state.outputPrefix;
        return;
    }
    std::memcpy(state.outputPrefix, directory, length + 1);
    platform::createDirectory(state.outputPrefix);
    state.outputPrefix[length] = platform::kPathSeparator;
    state.outputPrefix[length + 1] = '\0';
    state.outputPrefixLength = length + 1;
}

bool extractAll(app::RunState& state) {
    prepareOutputDir(state);
    app::statusLine(state, "Unpacking informations:");
    bool done = true;
    for (std::uint32_t i = 0; i < state.offsetTable.count && done; ++i) {
        const OffsetEntry& entry = state.offsetTable.entries[i];
        done = checkSubfileHeader(state, entry.offset) && extractSubfile(state, entry);
    }
    app::statusLine(state, "SubFiles: 0x%08X. (Packsmith)", {state.writtenTypes.mask});
    return done;
}

bool extractSubfile(app::RunState& state, const OffsetEntry& entry) {
    const SubfileHeader& header = state.subfileHeader;
    char name[sizeof header.name + 1];
    printableField(header.name, sizeof header.name, name);

    char path[app::kPathSize];
    if (!outputPathFor(state.outputPrefix, state.outputPrefixLength, header.name,
                       sizeof header.name, path, sizeof path)) {
        app::errorLine(state, "Invalid file name in subfile-header.");
        return false;
    }

    const std::uint32_t packedSize = header.packedSize;
    FreshBuffer packed(packedSize);
    if (packed.bytes() == nullptr) {
        app::errorLine(state, "Unable to allocate memory for packed file.");
        return false;
    }
    // A short read leaves the rest zero; inflate and the digest judge what the buffer holds.
    state.container.read(packed.bytes(), packedSize);

    FreshBuffer unpacked(state.workingSize);
    if (unpacked.bytes() == nullptr) {
        app::errorLine(state, "Unable to allocate memory for unpacking file.");
        return false;
    }
    std::size_t unpackedLength = 0;
    if (!inflateSubfile(packed.bytes(), packedSize, unpacked.bytes(), state.workingSize,
                        unpackedLength)) {
        app::errorLine(state, "Error while unpacking \"%s\".", {name});
        return false;
    }
    digest::Digest computed = digest::md5Digest(unpacked.bytes(), unpackedLength);
    if (!digest::digestsEqual(computed.data(), header.unpackedDigest)) {
        app::errorLine(state, "Invalid MD5 hash in file \"%s\".", {name});
        return false;
    }

    const bool append = alreadyWritten(state.writtenTypes, path);
    const auto length32 = static_cast<std::uint32_t>(unpackedLength);
    if (append) {
        app::detailLine(state, "     - Merging   \"%s\" (Packed:%08X - Unpacked:%08X).",
                        {name, packedSize, length32});
    } else {
        app::detailLine(state, "     - Unpacking \"%s\" (Packed:%08X - Unpacked:%08X).",
                        {name, packedSize, length32});
    }
    if (!writeOutput(state.container, path, append, unpacked.bytes(), unpackedLength)) {
        app::errorLine(state, "Error while writing \"%s\".", {name});
        return false;
    }
    recordWritten(state.writtenTypes, path, entry.type);
    return true;
}

}  // namespace container
