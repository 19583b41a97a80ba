// Writing the manifest of an extraction.
#include "kx/extract_manifest.h"

#include <cstring>
#include <filesystem>

#include "dzlib/output_writer.h"
#include "dzlib/records.h"
#include "dzlib/wrapper.h"
#include "kx/console.h"
#include "kx/manifest.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// The wrapper of an entry's packed data, read from the container; a default zlib wrapper when
// it cannot be read.
dz::Wrapper wrapperOf(const Survey& survey, std::uint32_t index) {
    const dz::PlannedEntry& entry = survey.plan.entries[index];
    const std::uint64_t at = dz::regionOf(entry).begin + dz::kSubfileDataOffset;
    const std::size_t packedSize = entry.header.packedSize;
    // A gzip header's optional fields make it 70 KiB long at most but for its name and
    // comment; for those, the whole packed data is read.
    std::string bytes(std::min<std::size_t>(packedSize, 70 * 1024), '\0');
    dz::Wrapper wrapper;
    for (;;) {
        bytes.resize(survey.container.readAt(at, bytes.data(), bytes.size()));
        if (dz::readWrapper(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                            wrapper) ||
            bytes.size() >= packedSize) {
            break;
        }
        bytes.assign(packedSize, '\0');
    }
    return wrapper;
}

}  // namespace

ManifestWriter::ManifestWriter(const Options& options, const Survey& survey,
                               const std::string& directory)
    : options_(options), survey_(survey), directory_(directory) {}

bool ManifestWriter::prepare() {
    if (options_.manifest.empty()) return true;
    const fs::path manifest = fs::absolute(pathOfText(options_.manifest)).lexically_normal();
    folder_ = textOfPath(manifest.parent_path());
    name_ = textOfPath(manifest.filename());
    const fs::path relative = fs::absolute(pathOfText(directory_))
                                  .lexically_normal()
                                  .lexically_relative(manifest.parent_path());
    const std::string text = textOfPath(relative);
    if (name_.empty() || text.empty() || text == ".." || text.rfind("../", 0) == 0) {
        printError(shown(options_.manifest),
                   "the manifest must lie in the output folder or a folder above it");
        return false;
    }
    prefix_ = text == "." ? "" : (text.back() == '/' ? text : text + "/");
    platform::Directory folder = platform::Directory::open(folder_.c_str());
    if (!options_.force && folder.isOpen() && folder.holds(name_.c_str())) {
        printError(shown(options_.manifest), "it exists (--force replaces it)");
        return false;
    }
    return true;
}

bool ManifestWriter::write(
    std::size_t outputs,
    const std::function<bool(std::size_t, std::vector<std::uint64_t>&)>& sizesOf) {
    if (options_.manifest.empty()) return true;
    Manifest manifest;
    manifest.header = survey_.header;
    const auto& entries = survey_.plan.entries;
    manifest.entries.resize(entries.size());
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        ManifestEntry& entry = manifest.entries[i];
        entry.type = entries[i].entry.type;
        std::memcpy(entry.name, entries[i].header.name, sizeof entry.name);
        std::memcpy(entry.reserved, entries[i].header.reserved, sizeof entry.reserved);
        entry.wrapper = wrapperOf(survey_, i);
    }
    for (std::size_t o = 0; o < outputs; ++o) {
        std::vector<std::uint64_t> sizes;
        if (!sizesOf(o, sizes)) continue;
        const dz::PlannedOutput& output = survey_.plan.outputs[o];
        std::uint64_t offset = 0;
        for (std::size_t p = 0; p < output.pieces.size(); ++p) {
            manifest.entries[output.pieces[p]].content =
                ContentPlace{prefix_ + output.name, offset, sizes[p]};
            offset += sizes[p];
        }
    }

    const std::string text = manifestText(manifest);
    dz::OutputFolder folder;
    dz::PendingOutput pending;
    if (folder.open(folder_.c_str(), ".kx-")) pending = folder.begin(name_);
    if (!pending.append(text.data(), text.size()) || !pending.commit()) {
        printError(shown(options_.manifest), "cannot write it: " + platform::lastErrorText());
        return false;
    }
    return true;
}

}  // namespace kx
