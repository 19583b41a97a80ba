// Reading a manifest and opening the files it names.
#include "dzlib/pack_input.h"

#include <algorithm>
#include <system_error>

#include "dzlib/output_name.h"
#include "dzlib/paths.h"
#include "dzlib/records.h"
#include "dzlib/text.h"

namespace dz {
namespace {

namespace fs = std::filesystem;

}  // namespace

std::string entryLabel(std::size_t index) {
    return "entry " + std::to_string(index + 1);
}

bool readManifest(const std::string& path, Manifest& manifest, Refusal& refusal) {
    platform::File file = platform::File::openExclusiveRead(path.c_str());
    if (!file.isOpen()) {
        refusal = {path, "cannot read it: " + platform::lastErrorText(), "manifest"};
        return false;
    }
    const std::int64_t size = file.size();
    if (size < 0) {
        refusal = {path, "cannot read it: " + platform::lastErrorText(), "manifest"};
        return false;
    }
    if (static_cast<std::uint64_t>(size) > kLargestManifest) {
        refusal = {path,
                   "not a manifest: it is " + withCommas(static_cast<std::uint64_t>(size)) +
                       " bytes long, and a manifest is at most " + withCommas(kLargestManifest),
                   "manifest"};
        return false;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    if (file.readAt(0, text.data(), text.size()) != text.size()) {
        refusal = {path, "cannot read it: " + platform::lastErrorText(), "manifest"};
        return false;
    }
    std::string error;
    if (!parseManifest(text, manifest, error)) {
        refusal = {path, "not a manifest: " + error, "manifest"};
        return false;
    }
    return true;
}

void checkEntries(const Manifest& manifest, std::vector<Refusal>& refusals) {
    if (manifest.entries.size() > kLargestEntryCount) {
        refusals.push_back({"manifest",
                            std::to_string(manifest.entries.size()) +
                                " entries: a container holds at most " +
                                std::to_string(kLargestEntryCount),
                            "manifest"});
    }
    for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        if (outputNameFor(entry.name, sizeof entry.name).empty()) {
            refusals.push_back({entryLabel(i),
                                "its name could leave the output folder or name a device",
                                "manifest"});
        }
    }
}

// Left whole: pack's engine moves into the library in its own branch, which takes it as it is.
void placeContent(Manifest& manifest, const fs::path& folder,
                  std::map<std::string, Source>& sources, std::vector<Refusal>& refusals) {
    std::map<std::string, std::vector<std::size_t>> entriesOf;
    for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
        const auto& content = manifest.entries[i].content;
        if (!content) continue;
        const fs::path relative = pathOfText(content->file).lexically_normal();
        const std::string text = textOfPath(relative);
        if (content->file.empty() || relative.has_root_path() || relative.has_root_name() ||
            text == ".." || text.rfind("../", 0) == 0 || text.rfind("..\\", 0) == 0 ||
            !staysInside(folder, folder / relative)) {
            refusals.push_back(
                {entryLabel(i), "its file \"" + content->file +
                                    "\" leaves the manifest's folder (an extracted file names "
                                    "one inside it)"});
            continue;
        }
        entriesOf[content->file].push_back(i);
    }
    for (auto& [name, entries] : entriesOf) {
        Source& source = sources[name];
        std::error_code error;
        fs::path path = fs::weakly_canonical(folder / pathOfText(name), error);
        if (error) path = folder / pathOfText(name);
        source.path = textOfPath(path);
        source.file = platform::File::openExclusiveRead(source.path.c_str());
        source.stamp = source.file.stamp();
        if (!source.file.isOpen() || source.stamp.size < 0) {
            refusals.push_back({source.path, "cannot read it: " + platform::lastErrorText()});
            continue;
        }
        const auto size = static_cast<std::uint64_t>(source.stamp.size);
        std::size_t last = entries.front();
        std::uint64_t expected = 0;
        for (std::size_t i : entries) {
            const ContentPlace& place = *manifest.entries[i].content;
            if (place.offset >= manifest.entries[last].content->offset) last = i;
            expected = std::max(expected,
                                place.offset + std::min(place.length, UINT64_MAX - place.offset));
        }
        if (size != expected) {
            ContentPlace& place = *manifest.entries[last].content;
            if (size <= place.offset) {
                refusals.push_back(
                    {source.path, "it is " + withCommas(size) + " bytes long: " + entryLabel(last) +
                                      ", its last piece, starts at " + withCommas(place.offset) +
                                      " and would be empty"});
                continue;
            }
            place.length = size - place.offset;
        }
        for (std::size_t i : entries) {
            const ContentPlace& place = *manifest.entries[i].content;
            if (place.offset > size || place.length > size - place.offset) {
                refusals.push_back({source.path, "it is too short for " + entryLabel(i)});
            } else if (place.length > kLargestStored) {
                refusals.push_back(
                    {entryLabel(i), "its content is larger than a container can hold (4 GiB)"});
            }
        }
    }
}

}  // namespace dz
