// kx pack: a container built from a manifest and the files it names, every level sealed with its
// digest, written whole. Entries that name no file, and entries whose piece is unchanged, are
// copied from the original container as they stand; a changed piece keeps what its original
// packed stream holds of it, and only the blocks around the change are compressed again.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>

#include "digest/md5.h"
#include "dzlib/compress.h"
#include "dzlib/inflate.h"
#include "dzlib/output_writer.h"
#include "dzlib/packed_data.h"
#include "dzlib/reasons.h"
#include "dzlib/records.h"
#include "dzlib/repack.h"
#include "dzlib/seal.h"
#include "dzlib/text_field.h"
#include "dzlib/unpack.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/manifest.h"
#include "kx/pack_input.h"
#include "kx/pack_original.h"
#include "kx/parallel.h"
#include "kx/paths.h"
#include "kx/progress.h"
#include "kx/run_document.h"
#include "kx/text.h"
#include "kx/unpacker.h"
#include "platform/platform.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// One worker's room: an entry's content, its packed stream (new, or the original's), and the
// original's entry unpacked to compare with the content.
// Each commits against the memory bound, and gives its memory back once its entry is written.
struct PackRoom {
    explicit PackRoom(platform::MemoryBound* bound)
        : content(platform::Memory::reserve(dz::kLargestStored, bound)),
          packed(platform::Memory::reserve(
              dz::kLargestStored + dz::kLargestStored / 256 + (1u << 20), bound)),
          unpacked(platform::Memory::reserve(dz::kLargestStored, bound)) {}
    // Gives back what the room holds past `keep` bytes of each part.
    void empty(std::size_t keep) {
        content.trim(keep);
        packed.trim(keep);
        unpacked.trim(keep);
    }
    platform::Memory content;
    platform::Memory packed;
    platform::Memory unpacked;
};

// Appends the packed data of the original's entry `index` to `out`: read in place where the
// system can, else a slice at a time into `buffer`. Bytes past the end of the original read as
// zeros, as they did when the entry was proven.
bool appendOriginal(dz::PendingOutput& out, const dz::Survey& survey, std::uint32_t index,
                    std::vector<std::uint8_t>& buffer, std::string& failed) {
    const dz::PlannedEntry& entry = survey.plan.entries[index];
    const std::uint64_t at = dz::regionOf(entry).begin + dz::kSubfileDataOffset;
    const std::size_t size = entry.header.packedSize;
    const platform::FileView view = survey.container.view(at, size);
    if (!view.empty() || size == 0) return out.append(view.bytes(), size);
    constexpr std::size_t kSlice = 4u << 20;
    buffer.resize(kSlice);
    for (std::size_t done = 0; done < size;) {
        const std::size_t step = std::min(kSlice, size - done);
        if (dz::readPacked(survey.container, entry, done, buffer.data(), step,
                           dz::PastEnd::zeros) != dz::Fault::none) {
            failed = "read";
            return false;
        }
        if (!out.append(buffer.data(), step)) {
            failed = "write";
            return false;
        }
        done += step;
    }
    return true;
}

// One entry, packed: its sealed header, and its packed bytes: the original's entry `copyOf`'s,
// or else at the start of its room's `packed`.
struct PackedEntry {
    std::string sealedHeader;
    std::size_t packedLength = 0;
    std::optional<std::uint32_t> copyOf;
};

// What one pack run shares among its workers.
struct PackRun {
    const Options& options;
    const Manifest& manifest;
    const Original& original;
    const std::map<std::string, Source>& sources;
    Progress* progress = nullptr;  // set while the entries are packed
};

// The MD5 of entry `i`'s piece, a slice at a time, each counted in the progress line.
digest::Digest pieceDigest(const PackRun& run, std::size_t i, const std::uint8_t* bytes,
                           std::size_t length) {
    constexpr std::size_t kSlice = 4u << 20;
    digest::Md5State state;
    digest::md5Start(state);
    for (std::size_t at = 0; at < length; at += kSlice) {
        const std::size_t step = std::min(kSlice, length - at);
        digest::md5Add(state, bytes + at, step);
        run.progress->done(static_cast<std::uint32_t>(i), at, step);
    }
    return digest::md5Finish(state);
}

const char kShortOfMemory[] =
    "not enough memory to pack it (--memory sets the bound; with -j 1 one entry has all of it)";

// The original's entry `index` as it is copied: its sealed header; its packed data is read when
// it is written. What was proven of it holds for what is written, since the original must not
// change while the pack runs.
PackedEntry copyOf(const dz::Survey& survey, std::uint32_t index) {
    const dz::SubfileHeader& header = survey.plan.entries[index].header;
    return {dz::sealedSubfileHeader(header), header.packedSize, index};
}

// Copies the original's entry `index` for an entry that names no file, once it is proven: it
// inflates to bytes that have its digest.
bool copyProven(const PackRun& run, std::size_t i, std::uint32_t index, PackRoom& room,
                PackedEntry& packed, Refusal& why) {
    const dz::Survey& survey = run.original.survey;
    // Proven by the extraction that wrote the manifest, and the original unchanged since.
    if (run.manifest.entries[i].proven && run.original.unchanged) {
        packed = copyOf(survey, index);
        return true;
    }
    const dz::SubfileHeader& header = survey.plan.entries[index].header;
    platform::FileView view;
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    dz::Fault fault = dz::packedData(survey, index, dz::PastEnd::zeros, room.packed, view, bytes);
    if (fault == dz::Fault::none) {
        fault = dz::unpackSubfile(header, bytes, header.packedSize, room.unpacked, length);
    }
    if (fault == dz::Fault::packedMemory || fault == dz::Fault::unpackedMemory) {
        why = {entryLabel(i), kShortOfMemory, "memory"};
        return false;
    }
    if (fault != dz::Fault::none) {
        why = {entryLabel(i),
               "no file named, and the original's entry " + std::to_string(index + 1) +
                   " fails its checks (" + dz::reasonCode(fault) +
                   "): extract it from a good container",
               "original"};
        return false;
    }
    packed = copyOf(survey, index);
    return true;
}

// True when the original's entry `index` holds `content` exactly: it has the same digest, and its
// packed data inflates to the same bytes (known without inflating it again when the extraction
// that wrote the manifest proved it and the original is unchanged since).
bool originalHolds(const Original& original, std::uint32_t index, bool proven,
                   const digest::Digest& digest, const std::uint8_t* content, std::size_t length,
                   PackRoom& room) {
    const dz::Survey& survey = original.survey;
    const dz::SubfileHeader& header = survey.plan.entries[index].header;
    if (!dz::contentMatches(header, digest)) return false;
    if (proven && original.unchanged) return true;
    platform::FileView view;
    const std::uint8_t* bytes = nullptr;
    std::size_t unpacked = 0;
    return dz::packedData(survey, index, dz::PastEnd::zeros, room.packed, view, bytes) ==
               dz::Fault::none &&
           dz::inflateSubfileInto(bytes, header.packedSize, room.unpacked, unpacked) ==
               dz::Fault::none &&
           unpacked == length &&
           (length == 0 || std::memcmp(room.unpacked.bytes(), content, length) == 0);
}

// Packs the changed piece `content` of an entry into `room.packed`: from the packed stream of the
// original's entry `from`, where there is one, keeping the blocks that still give the same bytes
// (dzlib/repack.h); else, or when that stream cannot be read, compressed whole. False when there
// is not enough memory.
bool packChanged(const PackRun& run, std::optional<std::uint32_t> from, const ManifestEntry& entry,
                 const std::uint8_t* content, std::size_t length, PackRoom& room,
                 std::size_t& packedLength) {
    if (from && !run.options.recompress) {
        const dz::Survey& survey = run.original.survey;
        platform::FileView view;
        const std::uint8_t* bytes = nullptr;
        if (dz::packedData(survey, *from, dz::PastEnd::zeros, room.unpacked, view, bytes) ==
            dz::Fault::none) {
            return dz::repackContent(bytes, survey.plan.entries[*from].header.packedSize, content,
                                     length, entry.wrapper, run.options.level, room.packed,
                                     packedLength);
        }
    }
    return dz::packContent(content, length, entry.wrapper, run.options.level, room.packed,
                           packedLength);
}

// Packs entry `i` of the manifest into `room`.
bool packEntry(const PackRun& run, std::size_t i, PackRoom& room, PackedEntry& packed,
               Refusal& why) {
    const ManifestEntry& entry = run.manifest.entries[i];
    const std::optional<std::uint32_t> from = run.original.copyFrom[i];
    if (!entry.content) return copyProven(run, i, *from, room, packed, why);
    const ContentPlace& place = *entry.content;
    const Source& source = run.sources.at(place.file);
    const auto length = static_cast<std::size_t>(place.length);

    // The piece is read once, in place where the system can show it (no copy), else into
    // memory, and its digest and its packed stream are taken from those bytes. A write to the
    // file meanwhile changes its stamp, which the end of the run checks.
    const platform::FileView view = source.file.view(place.offset, length);
    const std::uint8_t* content = view.bytes();
    if (view.empty()) {
        if (room.content.bytes() == nullptr || !room.content.commit(length)) {
            why = {entryLabel(i), kShortOfMemory, "memory"};
            return false;
        }
        if (source.file.readAt(place.offset, room.content.bytes(), length) != length) {
            why = {source.path, "cannot read it: " + platform::lastErrorText()};
            return false;
        }
        content = room.content.bytes();
    }
    const digest::Digest digest = pieceDigest(run, i, content, length);
    if (from && originalHolds(run.original, *from, entry.proven, digest, content, length, room)) {
        packed = copyOf(run.original.survey, *from);
        return true;
    }
    dz::SubfileHeader header{};
    if (!packChanged(run, from, entry, content, length, room, packed.packedLength)) {
        why = {entryLabel(i), kShortOfMemory, "memory"};
        return false;
    }
    std::memcpy(header.marker, dz::kSubfileMarker, dz::kMarkerSize);
    std::memcpy(header.reserved, entry.reserved, sizeof header.reserved);
    std::memcpy(header.name, entry.name, sizeof header.name);
    std::memcpy(header.unpackedDigest, digest.data(), digest.size());
    header.packedSize =
        static_cast<std::uint32_t>(std::min<std::size_t>(packed.packedLength, dz::kLargestStored));
    packed.sealedHeader = dz::sealedSubfileHeader(header);
    return true;
}

// Why the target cannot be written; empty when it can: what stands there must be a regular
// file (replaced with --force) or a link (replaced, never followed), and none of what the run
// reads.
std::string targetRefusal(const PackRun& run, const fs::path& target, const fs::path& manifest) {
    const std::string special = specialFileAt(target);
    if (!special.empty()) return special;
    bool read = sameFile(target, manifest);
    for (const auto& [name, source] : run.sources)
        read = read || sameFile(target, pathOfText(source.path));
    if (run.original.open) read = read || sameFile(target, pathOfText(run.original.survey.path));
    if (read)
        return "it is read by this run (the manifest, a file it names or the original): "
               "name another file";
    std::error_code error;
    if (!run.options.force && fs::exists(fs::symlink_status(target, error))) {
        return "it exists (--force replaces it)";
    }
    return {};
}

// What a pack reads, checked before anything is written.
struct PackInputs {
    Manifest manifest;
    fs::path manifestPath;  // absolute
    std::map<std::string, Source> sources;
    Original original;
    fs::path target;  // absolute
};

// Reads and checks the manifest, the files it names, the original and the target. False with
// the refusals otherwise (every one, each entry concerned named).
bool loadPack(const Options& options, PackInputs& in, std::vector<Refusal>& refusals) {
    Refusal refusal;
    if (!readManifest(options.container, in.manifest, refusal)) {
        refusals.push_back(refusal);
        return false;
    }
    in.manifestPath = fs::absolute(pathOfText(options.container)).lexically_normal();
    checkEntries(in.manifest, refusals);
    placeContent(in.manifest, in.manifestPath.parent_path(), in.sources, refusals);
    openOriginal(in.manifest, options, in.manifestPath.parent_path(), in.original, refusals);
    in.target = fs::absolute(pathOfText(options.output)).lexically_normal();
    if (refusals.empty()) {
        const PackRun run{options, in.manifest, in.original, in.sources};
        const std::string why = targetRefusal(run, in.target, in.manifestPath);
        if (!why.empty()) {
            refusals.push_back(
                {options.output, why, why.rfind("it exists", 0) == 0 ? "exists" : "refused"});
        }
    }
    return refusals.empty();
}

// Begins the container beside the target, with its sealed main header. False, having said why,
// when it cannot.
bool beginTarget(const Options& options, const PackInputs& in, dz::OutputFolder& folder,
                 dz::PendingOutput& out, std::uint64_t& written) {
    const std::string targetName = textOfPath(in.target.filename());
    if (targetName.empty()) {
        sayError(shown(options.output), "it names a folder, not a file", "not-a-file");
        return false;
    }
    if (!folder.open(textOfPath(in.target.parent_path()).c_str(), ".kx-")) {
        sayError(shown(options.output), "cannot open its folder: " + platform::lastErrorText(),
                 "cannot-write");
        return false;
    }
    out = folder.begin(targetName);
    dz::MainHeader header = in.manifest.header;
    std::memcpy(header.beginMarker, dz::kMainHeaderBeginMarker, dz::kMarkerSize);
    std::memcpy(header.endMarker, dz::kMainHeaderEndMarker, dz::kMarkerSize);
    const std::string sealedHeader = dz::sealedMainHeader(header);
    if (!out.append(sealedHeader.data(), sealedHeader.size())) {
        sayError(shown(options.output), "cannot write it: " + platform::lastErrorText(),
                 "cannot-write");
        return false;
    }
    written = sealedHeader.size();
    return true;
}

// The container as it is assembled: the entries written so far, in table order.
struct Assembly {
    explicit Assembly(std::size_t count) : table(count) {}
    std::vector<dz::OffsetEntry> table;
    std::uint64_t at = 0;    // where the next entry goes
    std::size_t copied = 0;  // entries copied from the original
    std::atomic<bool> failed{false};
    std::mutex refusing;
    std::vector<Refusal> refusals;  // held under `refusing`

    void refuse(Refusal why) {
        std::lock_guard<std::mutex> lock(refusing);
        failed = true;
        refusals.push_back(std::move(why));
    }
};

// The weight of each entry in the progress line: its piece's length, or the packed size of the
// original's entry it copies.
std::vector<std::uint64_t> packWeights(const PackRun& run) {
    const Original& original = run.original;
    std::vector<std::uint64_t> weights(run.manifest.entries.size());
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const ManifestEntry& entry = run.manifest.entries[i];
        weights[i] = entry.content
                         ? entry.content->length
                         : original.survey.plan.entries[*original.copyFrom[i]].header.packedSize;
    }
    return weights;
}

// Writes entry `i`, packed in `room` (or copied from the original), in its turn.
void writePacked(const PackRun& run, std::size_t i, const PackedEntry& packed, const PackRoom& room,
                 dz::PendingOutput& out, std::vector<std::uint8_t>& copyBuffer,
                 Assembly& assembly) {
    const Original& original = run.original;
    if (assembly.at > dz::kLargestStored || packed.packedLength > dz::kLargestStored) {
        assembly.refuse({entryLabel(i),
                         "the container would pass 4 GiB, beyond what its 32-bit offsets reach"});
        return;
    }
    assembly.table[i] = {run.manifest.entries[i].type, static_cast<std::uint32_t>(assembly.at)};
    std::string fault = "write";
    if (!out.append(packed.sealedHeader.data(), packed.sealedHeader.size()) ||
        !(packed.copyOf ? appendOriginal(out, original.survey, *packed.copyOf, copyBuffer, fault)
                        : out.append(room.packed.bytes(), packed.packedLength))) {
        if (fault == "read") {
            assembly.refuse({original.survey.path, "cannot read it: " + platform::lastErrorText()});
        } else {
            assembly.refuse({run.options.output, "cannot write it: " + platform::lastErrorText(),
                             "cannot-write"});
        }
    }
    assembly.at += packed.sealedHeader.size() + packed.packedLength;
    assembly.copied += packed.copyOf ? 1 : 0;
}

// Packs every entry on the workers and writes each into `out` in table order, so the bytes do
// not depend on the workers. A packed entry waits in its room until those before it are
// written; one room more than there are workers lets a worker go on meanwhile. Every entry is
// packed even after one failed, so that every refusal is said.
void packEntries(PackRun& run, dz::PendingOutput& out, Assembly& assembly) {
    const Options& options = run.options;
    const Manifest& manifest = run.manifest;
    const std::size_t count = manifest.entries.size();
    std::vector<std::uint8_t> copyBuffer;  // the writer's, for packed data not read in place
    platform::MemoryBound bound(memoryBoundFor(options));
    Progress progress(!options.quiet && !options.json && platform::standardErrorIsTerminal(),
                      packWeights(run));
    run.progress = &progress;
    const unsigned workers =
        static_cast<unsigned>(std::min<std::size_t>(workersFor(options), count + 1));
    std::vector<PackRoom> rooms;
    for (std::size_t r = 0; r < std::min<std::size_t>(workers + 1, count + 1); ++r) {
        rooms.emplace_back(&bound);
    }
    // An idle room keeps some memory for the next entry, so that it need not be taken from
    // the system again: a twelfth of its share of the bound in each of its three parts.
    const auto keep = static_cast<std::size_t>(
        std::min<std::uint64_t>(bound.limit() / 4 / rooms.size() / 3, dz::kLargestStored));
    Rooms lender(rooms.size());
    InOrder writer(count);
    const auto write = [&](std::size_t i, std::size_t roomNumber, const PackedEntry& packed) {
        writePacked(run, i, packed, rooms[roomNumber], out, copyBuffer, assembly);
    };
    runInParallel(count, workers, [&](std::size_t i, unsigned) {
        const ManifestEntry& entry = manifest.entries[i];
        const std::size_t roomNumber = lender.take(i);
        PackedEntry packed;
        const auto index = static_cast<std::uint32_t>(i);
        progress.working(index, std::string(dz::fieldText(entry.name, sizeof entry.name)));
        // A piece's digest is half its weight, its compression (when it changed) the rest.
        if (entry.content) progress.sized(index, 2 * entry.content->length);
        Refusal why;
        const bool good = packEntry(run, i, rooms[roomNumber], packed, why);
        if (!good) assembly.refuse(why);
        progress.ended(index);
        // A copy needs its room no longer: its bytes are read again as they are written.
        const bool holdsRoom = good && !packed.copyOf;
        if (!holdsRoom) {
            rooms[roomNumber].empty(keep);
            lender.give(roomNumber);
        }
        writer.ready(i, [&, i, roomNumber, good, holdsRoom, packed = std::move(packed)] {
            if (good && !assembly.failed) write(i, roomNumber, packed);
            if (holdsRoom) {
                rooms[roomNumber].empty(keep);
                lender.give(roomNumber);
            }
        });
    });
    run.progress = nullptr;
}

// What was read must not have changed while it was: the container would not hold it.
void checkNothingChanged(const PackInputs& in, Assembly& assembly) {
    const char* const kChanged =
        "it changed while it was packed: pack again once nothing writes to it";
    for (const auto& [name, source] : in.sources) {
        if (!assembly.failed && !(source.file.stamp() == source.stamp)) {
            assembly.refuse({source.path, kChanged, "changed"});
        }
    }
    if (!assembly.failed && in.original.open &&
        !(in.original.survey.container.stamp() == in.original.stamp)) {
        assembly.refuse({in.original.survey.path, kChanged, "changed"});
    }
}

// Says what was packed: a line, or the JSON document.
void reportPack(const Options& options, std::size_t count, const Assembly& assembly,
                std::uint64_t bytes) {
    if (options.json) {
        nlohmann::ordered_json json;
        json["manifest"] = utf8Text(options.container);
        json["container"] = utf8Text(options.output);
        json["ok"] = true;
        json["entries"] = count;
        json["copied"] = assembly.copied;
        json["bytes"] = bytes;
        printDocument(json);
    } else if (!options.quiet) {
        printOut(shown(options.output) + ": packed " + std::to_string(count) + " sub-file" +
                 (count == 1 ? "" : "s") + ", " + withCommas(bytes) + " bytes" +
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
    const auto sayRefusals = [](const std::vector<Refusal>& refusals) {
        for (const Refusal& r : refusals) sayError(shown(r.subject), r.what, r.code);
        return kExitFailed;
    };
    PackInputs in;
    std::vector<Refusal> refusals;
    if (!loadPack(options, in, refusals)) return sayRefusals(refusals);
    dz::OutputFolder folder;
    dz::PendingOutput out;
    Assembly assembly(in.manifest.entries.size());
    if (!beginTarget(options, in, folder, out, assembly.at)) return kExitFailed;

    PackRun run{options, in.manifest, in.original, in.sources};
    packEntries(run, out, assembly);
    checkNothingChanged(in, assembly);
    const std::string sealedTable = dz::sealedOffsetTable(assembly.table);
    // Without --force, a file made at the target's name meanwhile is not replaced either.
    if (!assembly.failed &&
        (!out.append(sealedTable.data(), sealedTable.size()) ||
         !out.commit(options.force ? dz::Existing::replace : dz::Existing::refuse))) {
        const bool taken = out.nameTaken();
        assembly.refuse({options.output,
                         taken ? "it exists (--force replaces it)"
                               : "cannot write it: " + platform::lastErrorText(),
                         taken ? "exists" : "cannot-write"});
    }
    if (assembly.failed) {
        out.discard();
        return sayRefusals(assembly.refusals);
    }
    reportPack(options, in.manifest.entries.size(), assembly, assembly.at + sealedTable.size());
    return kExitGood;
}

}  // namespace kx
