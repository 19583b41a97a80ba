// kx pack: a container built from a manifest and the files it names, by the pack engine that the
// library shares (dzlib/pack.h): kx packs the entries on its workers, shows the progress line,
// and says what was packed or every refusal.
#include "dzlib/pack.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "dzlib/output_writer.h"
#include "dzlib/pack_digests.h"
#include "dzlib/records.h"
#include "dzlib/text_field.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "kx/run_document.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace kx {
namespace {

// Temporary files beside the target are hidden and named after the program.
const char kTemporaryStem[] = ".kx-";

// What kx says after the engine's words when an entry is short of memory.
const char kMemoryHint[] = " (--memory sets the bound; with -j 1 one entry has all of it)";

dz::PackRequest requestOf(const Options& options) {
    dz::PackRequest request;
    request.manifest = options.container;
    request.target = options.output;
    request.level = options.level;
    request.base = options.base;
    request.recompress = options.recompress;
    request.force = options.force;
    request.temporaryStem = kTemporaryStem;
    request.replaceHint = " (--force replaces it)";
    return request;
}

// Packs every entry on the workers and writes each into `out` in table order, so the bytes do
// not depend on the workers. A packed entry waits in its room until those before it are
// written; one room more than there are workers lets a worker go on meanwhile. Every entry is
// packed even after one failed, so that every refusal is said.
void packEntries(const Options& options, const dz::PackRequest& request, const dz::PackInputs& in,
                 dz::PendingOutput& out, dz::Assembly& assembly) {
    const dz::Manifest& manifest = in.manifest;
    const std::size_t count = manifest.entries.size();
    std::vector<std::uint64_t> weights(count);
    for (std::size_t i = 0; i < count; ++i) weights[i] = dz::packWeight(in, i);
    std::vector<std::uint8_t> copyBuffer;  // the writer's, for packed data not read in place
    platform::MemoryBound bound(memoryBoundFor(options));
    Progress progress(!options.quiet && !options.json && platform::standardErrorIsTerminal(),
                      weights);
    const unsigned workers =
        static_cast<unsigned>(std::min<std::size_t>(workersFor(options), count + 1));
    std::vector<dz::PackRoom> rooms;
    for (std::size_t r = 0; r < std::min<std::size_t>(workers + 1, count + 1); ++r) {
        rooms.emplace_back(&bound);
    }
    // An idle room keeps some memory for the next entry, so that it need not be taken from
    // the system again: a twelfth of its share of the bound in each of its three parts.
    const auto keep = static_cast<std::size_t>(
        std::min<std::uint64_t>(bound.limit() / 4 / rooms.size() / 3, dz::kLargestStored));
    dz::PieceGroups groups(in);
    std::vector<std::optional<digest::Digest>> digests(count);
    Rooms lender(rooms.size());
    InOrder writer(count);
    // Entry `i`, its piece's digest taken already where it names one.
    const auto packOne = [&](std::size_t i) {
        const std::size_t roomNumber = lender.take(i);
        dz::PackedEntry packed;
        const auto index = static_cast<std::uint32_t>(i);
        dz::Refusal why;
        const bool good = dz::packEntry(
            request, in, i, rooms[roomNumber], packed, why, digests[i] ? &*digests[i] : nullptr,
            [&](std::uint64_t at, std::size_t length) { progress.done(index, at, length); });
        if (!good) assembly.refuse(why);
        progress.ended(index);
        // A copy needs its room no longer: its bytes are read again as they are written.
        const bool holdsRoom = good && !packed.copyOf;
        if (!holdsRoom) {
            rooms[roomNumber].empty(keep);
            lender.give(roomNumber);
        }
        writer.ready(i, [&, i, roomNumber, good, holdsRoom, packed = std::move(packed)] {
            if (good && !assembly.failed) {
                dz::writeEntry(request, in, i, packed, rooms[roomNumber], out, assembly,
                               copyBuffer);
            }
            if (holdsRoom) {
                rooms[roomNumber].empty(keep);
                lender.give(roomNumber);
            }
        });
    };
    // The pieces of `group`, claimed, digested side by side.
    const auto digestGroup = [&](const std::vector<std::size_t>& group) {
        struct Told {  // the jobs waiting go on, whatever happens
            dz::PieceGroups& groups;
            const std::vector<std::size_t>& group;
            ~Told() { groups.digested(group); }
        } told{groups, group};
        for (std::size_t j : group) {
            const dz::ManifestEntry& entry = manifest.entries[j];
            const auto index = static_cast<std::uint32_t>(j);
            progress.working(index, std::string(dz::fieldText(entry.name, sizeof entry.name)));
            // A piece's digest is half its weight, its compression (when it changed) the rest.
            if (entry.content) progress.sized(index, 2 * entry.content->length);
        }
        dz::digestPieces(in, group, digests,
                         [&](std::size_t j, std::uint64_t at, std::size_t length) {
                             progress.done(static_cast<std::uint32_t>(j), at, length);
                         });
    };
    // The job for an entry digests its piece with those of the entries it takes, side by side,
    // or, while the job that took it does, digests pieces further on; then it packs its entry.
    runInParallel(count, workers, [&](std::size_t i, unsigned) {
        const std::vector<std::size_t> group = groups.claim(i);
        if (group.empty()) {
            for (auto ahead = groups.claimAhead(i); !ahead.empty(); ahead = groups.claimAhead(i))
                digestGroup(ahead);
            groups.awaitDigest(i);
        } else {
            digestGroup(group);
        }
        packOne(i);
    });
}

// Says what was packed: a line, or the JSON document.
void reportPack(const Options& options, std::size_t count, const dz::Assembly& assembly) {
    if (options.json) {
        nlohmann::ordered_json json;
        json["manifest"] = utf8Text(options.container);
        json["container"] = utf8Text(options.output);
        json["ok"] = true;
        json["entries"] = count;
        json["copied"] = assembly.copied;
        json["bytes"] = assembly.at;
        printDocument(json);
    } else if (!options.quiet) {
        printOut(shown(options.output) + ": packed " + std::to_string(count) + " sub-file" +
                 (count == 1 ? "" : "s") + ", " + withCommas(assembly.at) + " bytes" +
                 (assembly.copied == 0 ? std::string()
                                       : "; " + std::to_string(assembly.copied) +
                                             " copied unchanged from the original") +
                 "\n");
    }
}

}  // namespace

int runPack(const Options& options) {
    knownSoFar(
        {{"manifest", utf8Text(options.container)}, {"container", utf8Text(options.output)}});
    // The engine's texts hold names as they stand: they are shown safe here.
    const auto sayRefusals = [](const std::vector<dz::Refusal>& refusals) {
        for (const dz::Refusal& r : refusals) {
            sayError(shown(r.subject), shown(r.what) + (r.code == "memory" ? kMemoryHint : ""),
                     r.code);
        }
        return kExitFailed;
    };
    const dz::PackRequest request = requestOf(options);
    dz::PackInputs in;
    std::vector<dz::Refusal> refusals;
    if (!dz::loadPack(request, in, refusals)) return sayRefusals(refusals);
    dz::OutputFolder folder;
    dz::PendingOutput out;
    dz::Assembly assembly(in.manifest.entries.size());
    dz::Refusal why;
    if (!dz::beginTarget(request, in, folder, out, assembly.at, why)) return sayRefusals({why});

    packEntries(options, request, in, out, assembly);
    dz::checkNothingChanged(in, assembly);
    if (!dz::endTarget(request, assembly, out)) return sayRefusals(assembly.refusals);
    reportPack(options, in.manifest.entries.size(), assembly);
    return kExitGood;
}

}  // namespace kx
