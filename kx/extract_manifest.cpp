// Writing the manifest of an extraction.
#include "kx/extract_manifest.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "dzlib/output_writer.h"
#include "dzlib/records.h"
#include "kx/console.h"
#include "kx/manifest.h"
#include "kx/paths.h"
#include "kx/run_document.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace kx {

namespace fs = std::filesystem;

ManifestWriter::ManifestWriter(const Options& options, const dz::Survey& survey,
                               const std::string& directory)
    : options_(options), survey_(survey), directory_(directory) {}

bool ManifestWriter::prepare(const std::vector<std::string>& outputs) {
    if (options_.manifest.empty()) return true;
    const fs::path manifest = fs::absolute(pathOfText(options_.manifest)).lexically_normal();
    folder_ = textOfPath(manifest.parent_path());
    name_ = textOfPath(manifest.filename());
    const fs::path outputFolder = fs::absolute(pathOfText(directory_)).lexically_normal();
    const fs::path relative = outputFolder.lexically_relative(manifest.parent_path());
    const std::string text = textOfPath(relative);
    const std::string subject = shown(options_.manifest);
    if (name_.empty() || text.empty() || text == ".." || text.rfind("../", 0) == 0) {
        sayError(subject, "the manifest must lie in the output folder or a folder above it",
                 "manifest");
        return false;
    }
    prefix_ = text == "." ? "" : (text.back() == '/' ? text : text + "/");
    const std::string special = specialFileAt(manifest);
    if (!special.empty()) {
        sayError(subject, special, "not-a-file");
        return false;
    }
    // The manifest never takes the place of what the run reads or writes.
    const fs::path container = fs::absolute(pathOfText(survey_.path)).lexically_normal();
    bool inTheWay = sameFile(manifest, container);
    if (!inTheWay && sameFile(outputFolder, manifest.parent_path())) {
        const std::string key = platform::fileNameKey(name_);
        inTheWay = std::any_of(outputs.begin(), outputs.end(), [&](const std::string& name) {
            return platform::fileNameKey(name) == key;
        });
    }
    platform::Directory folder = platform::Directory::open(folder_.c_str());
    if (inTheWay || (folder.isOpen() && survey_.container.isAt(folder, name_.c_str()))) {
        sayError(subject, "it is the container or an output of this run: name another file",
                 "manifest");
        return false;
    }
    if (!options_.force && folder.isOpen() && folder.holds(name_.c_str())) {
        // --keep keeps outputs, and cannot go with --force: name the way that is open.
        sayError(subject,
                 options_.keep ? "it exists (remove it, or name another manifest)"
                               : "it exists (--force replaces it)",
                 "exists");
        return false;
    }
    return true;
}

Origin ManifestWriter::originOf() const {
    Origin origin;
    const fs::path container = fs::absolute(pathOfText(survey_.path)).lexically_normal();
    const fs::path relative = container.lexically_relative(pathOfText(folder_));
    origin.file = textOfPath(relative.empty() ? container : relative);
    origin.size = static_cast<std::uint64_t>(std::max<std::int64_t>(survey_.container.length(), 0));
    origin.modified = survey_.container.stamp().modified;
    survey_.container.readAt(sizeof(dz::MainHeader), origin.headerDigest,
                             sizeof origin.headerDigest);
    return origin;
}

bool ManifestWriter::write(
    std::size_t outputs,
    const std::function<bool(std::size_t, std::vector<std::uint64_t>&, bool&)>& sizesOf) {
    if (options_.manifest.empty()) return true;
    Manifest manifest;
    manifest.header = survey_.header;
    manifest.origin = originOf();
    const auto& entries = survey_.plan.entries;
    manifest.entries.resize(entries.size());
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        ManifestEntry& entry = manifest.entries[i];
        entry.originalIndex = i;
        entry.type = entries[i].entry.type;
        std::memcpy(entry.name, entries[i].header.name, sizeof entry.name);
        std::memcpy(entry.reserved, entries[i].header.reserved, sizeof entry.reserved);
        entry.wrapper = dz::wrapperOf(survey_, i);
    }
    for (std::size_t o = 0; o < outputs; ++o) {
        std::vector<std::uint64_t> sizes;
        bool proven = false;
        const dz::PlannedOutput& output = survey_.plan.outputs[o];
        if (!sizesOf(o, sizes, proven)) {
            // Not extracted: copied from the original by kx pack, which need not prove it again
            // when it was proven here.
            for (std::uint32_t piece : output.pieces) manifest.entries[piece].proven = proven;
            continue;
        }
        std::uint64_t offset = 0;
        for (std::size_t p = 0; p < output.pieces.size(); ++p) {
            manifest.entries[output.pieces[p]].content =
                ContentPlace{prefix_ + output.name, offset, sizes[p]};
            manifest.entries[output.pieces[p]].proven = proven;
            offset += sizes[p];
        }
    }

    const std::string text = manifestText(manifest);
    dz::OutputFolder folder;
    dz::PendingOutput pending;
    if (folder.open(folder_.c_str(), ".kx-")) pending = folder.begin(name_);
    if (!pending.append(text.data(), text.size()) ||
        !pending.commit(options_.force ? dz::Existing::replace : dz::Existing::refuse)) {
        printError(shown(options_.manifest), pending.nameTaken()
                                                 ? "it exists (--force replaces it)"
                                                 : "cannot write it: " + platform::lastErrorText());
        return false;
    }
    return true;
}

}  // namespace kx
