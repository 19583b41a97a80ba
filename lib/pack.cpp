// The public pack: kx pack's engine (dzlib/pack.h) run in its steps, the entries packed one after
// another, and what it did or every refusal in the public API's plain structures.
#include "dzlib/pack.h"

#include <algorithm>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "dzlib/output_writer.h"
#include "dzlib/pack_digests.h"
#include "dzlib/records.h"
#include "kestrix/kestrix.h"
#include "platform/platform.h"

namespace kestrix {
namespace {

// Temporary files beside the target are hidden and named after the library.
const char kTemporaryStem[] = ".kestrix-";

PackResult refused(const std::vector<dz::Refusal>& refusals) {
    PackResult result;
    result.code = refusals.empty() ? "failed" : refusals.front().code;
    for (const dz::Refusal& refusal : refusals) {
        result.refusals.push_back({refusal.subject, refusal.what, refusal.code});
        result.message +=
            (result.message.empty() ? "" : "\n") + refusal.subject + ": " + refusal.what;
    }
    return result;
}

// Packs every entry, one after another, and writes each into `out` as it is packed. Every entry
// is packed even after one failed, so that every refusal is said. `report(entry, done)` tells
// the work done of all.
void packEntries(const dz::PackRequest& request, const dz::PackInputs& in, dz::PendingOutput& out,
                 dz::Assembly& assembly,
                 const std::function<void(std::uint32_t, std::uint64_t)>& report) {
    const std::size_t count = in.manifest.entries.size();
    platform::MemoryBound bound(platform::defaultMemoryBound(platform::memoryLimit()));
    dz::PackRoom room(&bound);
    // The room keeps some memory for the next entry, so that it need not be taken from the
    // system again: a twelfth of the bound in each of its three parts.
    const auto keep = static_cast<std::size_t>(
        std::min<std::uint64_t>(bound.limit() / 4 / 3, dz::kLargestStored));
    std::vector<std::uint8_t> copyBuffer;  // for packed data not read in place
    // A piece's digest is half its weight, its compression (when it changed) the rest. The
    // digests of entries that follow one another are taken side by side, before they are packed.
    dz::PieceGroups groups(in);
    std::vector<std::optional<digest::Digest>> digests(count);
    std::vector<std::uint64_t> counted(count);  // by entry: what its digest counted of it
    std::uint64_t done = 0;
    for (std::size_t first = 0; first < count; ++first) {
        const std::vector<std::size_t> group = groups.claim(first);
        dz::digestPieces(in, group, digests,
                         [&](std::size_t i, std::uint64_t at, std::size_t length) {
                             done += (at + length) / 2 - counted[i];
                             counted[i] = (at + length) / 2;
                             report(static_cast<std::uint32_t>(i), done);
                         });
        for (std::size_t i : group) {
            const auto index = static_cast<std::uint32_t>(i);
            dz::PackedEntry packed;
            dz::Refusal why;
            const bool good = dz::packEntry(request, in, i, room, packed, why,
                                            digests[i] ? &*digests[i] : nullptr,
                                            [&](std::uint64_t at, std::size_t length) {
                                                report(index, done + (at + length) / 2);
                                            });
            if (!good) {
                assembly.refuse(why);
            } else if (!assembly.failed) {
                dz::writeEntry(request, in, i, packed, room, out, assembly, copyBuffer);
            }
            room.empty(keep);
            done += dz::packWeight(in, i) - counted[i];
            report(index, done);
        }
    }
}

}  // namespace

PackResult pack(const std::string& manifest, const std::string& target, int level,
                const std::optional<std::string>& base, const ProgressCall& progress) {
    if (level < 0 || level > 9) {
        return refused(
            {{"level", "a deflate level is 0 to 9, not " + std::to_string(level), "usage"}});
    }
    dz::PackRequest request;
    request.manifest = manifest;
    request.target = target;
    request.level = level;
    request.base = base.value_or("");
    request.temporaryStem = kTemporaryStem;
    // What the engine throws ends the pack as kx's does, the target untouched; what `progress`
    // throws is its caller's, and passes through.
    bool telling = false;
    try {
        dz::PackInputs in;
        std::vector<dz::Refusal> refusals;
        if (!dz::loadPack(request, in, refusals)) return refused(refusals);
        dz::OutputFolder folder;
        dz::PendingOutput out;
        dz::Assembly assembly(in.manifest.entries.size());
        dz::Refusal why;
        if (!dz::beginTarget(request, in, folder, out, assembly.at, why)) return refused({why});

        Progress told;
        for (std::size_t i = 0; i < in.manifest.entries.size(); ++i) {
            told.total += dz::packWeight(in, i);
        }
        packEntries(request, in, out, assembly, [&](std::uint32_t entry, std::uint64_t done) {
            told.entry = entry;
            told.done = done;
            telling = true;
            if (progress) progress(told);
            telling = false;
        });
        dz::checkNothingChanged(in, assembly);
        if (!dz::endTarget(request, assembly, out)) return refused(assembly.refusals);
        PackResult result;
        result.ok = true;
        result.code = "ok";
        result.entries = static_cast<std::uint32_t>(in.manifest.entries.size());
        result.copied = static_cast<std::uint32_t>(assembly.copied);
        result.bytes = assembly.at;
        return result;
    } catch (const std::bad_alloc&) {
        if (telling) throw;
        return refused({{manifest, "not enough memory", "memory"}});
    } catch (const std::exception& error) {
        if (telling) throw;
        return refused({{manifest, error.what(), "failed"}});
    }
}

}  // namespace kestrix
