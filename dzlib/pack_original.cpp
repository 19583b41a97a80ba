// Finding what a pack may copy from the original container.
#include "dzlib/pack_original.h"

#include <cstring>

#include "dzlib/paths.h"
#include "dzlib/reasons.h"
#include "dzlib/records.h"
#include "dzlib/wrapper.h"
#include "platform/platform.h"

namespace dz {
namespace {

namespace fs = std::filesystem;

// "entry 3" or "entries 2, 5, 7".
std::string entriesLabel(const std::vector<std::size_t>& entries) {
    std::string label = entries.size() == 1 ? "entry " : "entries ";
    for (std::size_t k = 0; k < entries.size(); ++k) {
        label += (k == 0 ? "" : ", ") + std::to_string(entries[k] + 1);
    }
    return label;
}

// Why the original's entry `index` cannot stand for `entry`; empty when it can.
std::string whyNotCopied(const Survey& survey, std::uint32_t index, const ManifestEntry& entry) {
    if (index >= survey.plan.entries.size()) {
        return "the original has no entry " + std::to_string(index + 1);
    }
    const PlannedEntry& planned = survey.plan.entries[index];
    if (planned.fault != Fault::none) {
        return "the original's entry " + std::to_string(index + 1) + " fails its checks (" +
               reasonCode(planned.fault) + ")";
    }
    if (planned.entry.type != entry.type ||
        std::memcmp(planned.header.name, entry.name, sizeof entry.name) != 0 ||
        std::memcmp(planned.header.reserved, entry.reserved, sizeof entry.reserved) != 0 ||
        wrapperHeader(wrapperOf(survey, index)) != wrapperHeader(entry.wrapper)) {
        return "the manifest changes the stored fields of the original's entry " +
               std::to_string(index + 1);
    }
    return {};
}

}  // namespace

// One pass over the entries that keeps their refusals in table order; its parts share that pass's
// state.
void openOriginal(const Manifest& manifest, const std::string& base, bool recompress,
                  const fs::path& manifestFolder, Original& original,
                  std::vector<Refusal>& refusals) {
    const std::size_t count = manifest.entries.size();
    original.copyFrom.assign(count, std::nullopt);
    std::vector<std::size_t> needed;  // entries that name no file
    for (std::size_t i = 0; i < count; ++i) {
        if (!manifest.entries[i].content) needed.push_back(i);
    }
    const auto refuseNeeded = [&](const std::string& why) {
        if (!needed.empty()) refusals.push_back({entriesLabel(needed), why, "original"});
    };
    if (recompress) {
        refuseNeeded(
            "no file named (not extracted): without --recompress, kx pack copies such "
            "entries from the original container");
        return;
    }
    std::string path = base;
    if (path.empty() && manifest.origin) {
        const fs::path recorded = pathOfText(manifest.origin->file);
        path = textOfPath(recorded.is_absolute() ? recorded : manifestFolder / recorded);
    }
    if (path.empty()) {
        refuseNeeded(
            "no file named (not extracted), and the manifest names no original "
            "container to copy from: name it with --base ORIGINAL.dz, or extract them");
        return;
    }
    std::string error;
    if (!surveyContainer(path, original.survey, error)) {
        // A base named on purpose that cannot be opened is a mistake to say, not a reason to
        // compress everything again.
        if (!needed.empty() || !base.empty()) {
            refusals.push_back({path, "cannot open the original container: " + error, "original"});
            refuseNeeded(
                "no file named (not extracted), so copied from the original container: "
                "name it with --base ORIGINAL.dz, or extract them");
        }
        return;
    }
    original.open = true;
    original.stamp = original.survey.container.stamp();
    if (manifest.origin) {
        std::uint8_t digest[16] = {};
        original.survey.container.readAt(sizeof(MainHeader), digest, sizeof digest);
        const bool same =
            static_cast<std::uint64_t>(original.stamp.size) == manifest.origin->size &&
            std::memcmp(digest, manifest.origin->headerDigest, sizeof digest) == 0;
        original.unchanged = same && original.stamp.modified == manifest.origin->modified &&
                             manifest.origin->modified != -1;
        if (!same && !needed.empty()) {
            refusals.push_back({path,
                                "it is not the container the manifest was written from "
                                "(its size or main header differ)",
                                "original"});
            refuseNeeded(
                "no file named (not extracted), so copied from the original container: "
                "name the right one with --base ORIGINAL.dz, or extract them");
            return;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        const std::uint32_t index = entry.originalIndex.value_or(static_cast<std::uint32_t>(i));
        if (original.survey.tableFault != Fault::none) {
            if (!entry.content) {
                refusals.push_back({entryLabel(i),
                                    std::string("no file named, and the original's offset table "
                                                "fails its checks (") +
                                        reasonCode(original.survey.tableFault) +
                                        "): extract it from a good container",
                                    "original"});
            }
            continue;
        }
        const std::string why = whyNotCopied(original.survey, index, entry);
        if (why.empty()) {
            original.copyFrom[i] = index;
        } else if (!entry.content) {
            refusals.push_back({entryLabel(i),
                                "no file named, and " + why +
                                    ": extract it, or name the right "
                                    "original with --base",
                                "original"});
        }
    }
}

}  // namespace dz
