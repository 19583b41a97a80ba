// Packing a container from a manifest: the steps kx pack and the library's pack share.
#include "dzlib/pack.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "digest/md5.h"
#include "dzlib/compress.h"
#include "dzlib/inflate.h"
#include "dzlib/packed_data.h"
#include "dzlib/paths.h"
#include "dzlib/reasons.h"
#include "dzlib/repack.h"
#include "dzlib/seal.h"
#include "dzlib/unpack.h"

namespace dz {
namespace {

namespace fs = std::filesystem;

const char kShortOfMemory[] = "not enough memory to pack it";

// Appends the packed data of the original's entry `index` to `out`: read in place where the
// system can, else a slice at a time into `buffer`. Bytes past the end of the original read as
// zeros, as they did when the entry was proven. False, with "read" or "write" in `failed`.
bool appendOriginal(PendingOutput& out, const Survey& survey, std::uint32_t index,
                    std::vector<std::uint8_t>& buffer, std::string& failed) {
    const PlannedEntry& entry = survey.plan.entries[index];
    const std::uint64_t at = regionOf(entry).begin + kSubfileDataOffset;
    const std::size_t size = entry.header.packedSize;
    const platform::FileView view = survey.container.view(at, size);
    if (!view.empty() || size == 0) return out.append(view.bytes(), size);
    constexpr std::size_t kSlice = 4u << 20;
    buffer.resize(kSlice);
    for (std::size_t done = 0; done < size;) {
        const std::size_t step = std::min(kSlice, size - done);
        if (readPacked(survey.container, entry, done, buffer.data(), step, PastEnd::zeros) !=
            Fault::none) {
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

// The MD5 of a piece, a slice at a time, each told to `digested`.
digest::Digest pieceDigest(const std::uint8_t* bytes, std::size_t length,
                           const std::function<void(std::uint64_t, std::size_t)>& digested) {
    digest::Md5State state;
    digest::md5Start(state);
    for (std::size_t at = 0; at < length; at += kDigestSlice) {
        const std::size_t step = std::min(kDigestSlice, length - at);
        digest::md5Add(state, bytes + at, step);
        if (digested) digested(at, step);
    }
    return digest::md5Finish(state);
}

// The original's entry `index` as it is copied: its sealed header; its packed data is read when
// it is written. What was proven of it holds for what is written, since the original must not
// change while the pack runs.
PackedEntry copyOf(const Survey& survey, std::uint32_t index) {
    const SubfileHeader& header = survey.plan.entries[index].header;
    return {sealedSubfileHeader(header), header.packedSize, index};
}

// Copies the original's entry `index` for entry `i`, which names no file, once it is proven: it
// inflates to bytes that have its digest.
bool copyProven(const PackInputs& in, std::size_t i, std::uint32_t index, PackRoom& room,
                PackedEntry& packed, Refusal& why) {
    const Survey& survey = in.original.survey;
    // Proven by the extraction that wrote the manifest, and the original unchanged since.
    if (in.manifest.entries[i].proven && in.original.unchanged) {
        packed = copyOf(survey, index);
        return true;
    }
    const SubfileHeader& header = survey.plan.entries[index].header;
    platform::FileView view;
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    Fault fault = packedData(survey, index, PastEnd::zeros, room.packed, view, bytes);
    if (fault == Fault::none) {
        fault = unpackSubfile(header, bytes, header.packedSize, room.unpacked, length);
    }
    if (fault == Fault::packedMemory || fault == Fault::unpackedMemory) {
        why = {entryLabel(i), kShortOfMemory, "memory"};
        return false;
    }
    if (fault != Fault::none) {
        why = {entryLabel(i),
               "no file named, and the original's entry " + std::to_string(index + 1) +
                   " fails its checks (" + reasonCode(fault) +
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
    const Survey& survey = original.survey;
    const SubfileHeader& header = survey.plan.entries[index].header;
    if (!contentMatches(header, digest)) return false;
    if (proven && original.unchanged) return true;
    platform::FileView view;
    const std::uint8_t* bytes = nullptr;
    std::size_t unpacked = 0;
    return packedData(survey, index, PastEnd::zeros, room.packed, view, bytes) == Fault::none &&
           inflateSubfileInto(bytes, header.packedSize, room.unpacked, unpacked) == Fault::none &&
           unpacked == length &&
           (length == 0 || std::memcmp(room.unpacked.bytes(), content, length) == 0);
}

// Packs the changed piece `content` of an entry into `room.packed`: from the packed stream of the
// original's entry `from`, where there is one, keeping the blocks that still give the same bytes
// (dzlib/repack.h); else, or when that stream cannot be read, compressed whole. False when there
// is not enough memory.
bool packChanged(const PackRequest& request, const Original& original,
                 std::optional<std::uint32_t> from, const ManifestEntry& entry,
                 const std::uint8_t* content, std::size_t length, PackRoom& room,
                 std::size_t& packedLength) {
    if (from && !request.recompress) {
        const Survey& survey = original.survey;
        platform::FileView view;
        const std::uint8_t* bytes = nullptr;
        if (packedData(survey, *from, PastEnd::zeros, room.unpacked, view, bytes) == Fault::none) {
            return repackContent(bytes, survey.plan.entries[*from].header.packedSize, content,
                                 length, entry.wrapper, request.level, room.packed, packedLength);
        }
    }
    return packContent(content, length, entry.wrapper, request.level, room.packed, packedLength);
}

// Why the target cannot be written; empty when it can: what stands there must be a regular
// file (replaced with `force`) or a link (replaced, never followed), and none of what the run
// reads.
std::string targetRefusal(const PackRequest& request, const PackInputs& in) {
    const std::string special = specialFileAt(in.target);
    if (!special.empty()) return special;
    bool read = sameFile(in.target, in.manifestPath);
    for (const auto& [name, source] : in.sources)
        read = read || sameFile(in.target, pathOfText(source.path));
    if (in.original.open) read = read || sameFile(in.target, pathOfText(in.original.survey.path));
    if (read)
        return "it is read by this run (the manifest, a file it names or the original): "
               "name another file";
    std::error_code error;
    if (!request.force && fs::exists(fs::symlink_status(in.target, error))) {
        return "it exists" + request.replaceHint;
    }
    return {};
}

}  // namespace

bool loadPack(const PackRequest& request, PackInputs& in, std::vector<Refusal>& refusals) {
    Refusal refusal;
    if (!readManifest(request.manifest, in.manifest, refusal)) {
        refusals.push_back(refusal);
        return false;
    }
    in.manifestPath = fs::absolute(pathOfText(request.manifest)).lexically_normal();
    checkEntries(in.manifest, refusals);
    placeContent(in.manifest, in.manifestPath.parent_path(), in.sources, refusals);
    openOriginal(in.manifest, request.base, request.recompress, in.manifestPath.parent_path(),
                 in.original, refusals);
    in.target = fs::absolute(pathOfText(request.target)).lexically_normal();
    if (refusals.empty()) {
        const std::string why = targetRefusal(request, in);
        if (!why.empty()) {
            refusals.push_back(
                {request.target, why, why.rfind("it exists", 0) == 0 ? "exists" : "refused"});
        }
    }
    return refusals.empty();
}

bool beginTarget(const PackRequest& request, const PackInputs& in, OutputFolder& folder,
                 PendingOutput& out, std::uint64_t& written, Refusal& why) {
    const std::string targetName = textOfPath(in.target.filename());
    if (targetName.empty()) {
        why = {request.target, "it names a folder, not a file", "not-a-file"};
        return false;
    }
    if (!folder.open(textOfPath(in.target.parent_path()).c_str(), request.temporaryStem.c_str())) {
        why = {request.target, "cannot open its folder: " + platform::lastErrorText(),
               "cannot-write"};
        return false;
    }
    out = folder.begin(targetName);
    MainHeader header = in.manifest.header;
    std::memcpy(header.beginMarker, kMainHeaderBeginMarker, kMarkerSize);
    std::memcpy(header.endMarker, kMainHeaderEndMarker, kMarkerSize);
    const std::string sealedHeader = sealedMainHeader(header);
    if (!out.append(sealedHeader.data(), sealedHeader.size())) {
        why = {request.target, "cannot write it: " + platform::lastErrorText(), "cannot-write"};
        return false;
    }
    written = sealedHeader.size();
    return true;
}

std::uint64_t packWeight(const PackInputs& in, std::size_t i) {
    const ManifestEntry& entry = in.manifest.entries[i];
    if (entry.content) return entry.content->length;
    return in.original.survey.plan.entries[*in.original.copyFrom[i]].header.packedSize;
}

PackRoom::PackRoom(platform::MemoryBound* bound)
    : content(platform::Memory::reserve(kLargestStored, bound)),
      // What deflate may make of the largest content; more than a 32-bit address space holds,
      // where the reservation then fails and the pack with it, for memory.
      packed(platform::Memory::reserve(
          static_cast<std::size_t>(std::min<std::uint64_t>(
              std::uint64_t{kLargestStored} + kLargestStored / 256 + (1u << 20), SIZE_MAX)),
          bound)),
      unpacked(platform::Memory::reserve(kLargestStored, bound)) {}

void PackRoom::empty(std::size_t keep) {
    content.trim(keep);
    packed.trim(keep);
    unpacked.trim(keep);
}

bool packEntry(const PackRequest& request, const PackInputs& in, std::size_t i, PackRoom& room,
               PackedEntry& packed, Refusal& why, const digest::Digest* known,
               const std::function<void(std::uint64_t, std::size_t)>& digested) {
    const ManifestEntry& entry = in.manifest.entries[i];
    const std::optional<std::uint32_t> from = in.original.copyFrom[i];
    if (!entry.content) return copyProven(in, i, *from, room, packed, why);
    const ContentPlace& place = *entry.content;
    const Source& source = in.sources.at(place.file);
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
    const digest::Digest digest = known ? *known : pieceDigest(content, length, digested);
    if (from && originalHolds(in.original, *from, entry.proven, digest, content, length, room)) {
        packed = copyOf(in.original.survey, *from);
        return true;
    }
    SubfileHeader header{};
    if (!packChanged(request, in.original, from, entry, content, length, room,
                     packed.packedLength)) {
        why = {entryLabel(i), kShortOfMemory, "memory"};
        return false;
    }
    std::memcpy(header.marker, kSubfileMarker, kMarkerSize);
    std::memcpy(header.reserved, entry.reserved, sizeof header.reserved);
    std::memcpy(header.name, entry.name, sizeof header.name);
    std::memcpy(header.unpackedDigest, digest.data(), digest.size());
    header.packedSize =
        static_cast<std::uint32_t>(std::min<std::size_t>(packed.packedLength, kLargestStored));
    packed.sealedHeader = sealedSubfileHeader(header);
    return true;
}

void Assembly::refuse(Refusal why) {
    std::lock_guard<std::mutex> lock(refusing);
    failed = true;
    refusals.push_back(std::move(why));
}

void writeEntry(const PackRequest& request, const PackInputs& in, std::size_t i,
                const PackedEntry& packed, const PackRoom& room, PendingOutput& out,
                Assembly& assembly, std::vector<std::uint8_t>& copyBuffer) {
    if (assembly.at > kLargestStored || packed.packedLength > kLargestStored) {
        assembly.refuse({entryLabel(i),
                         "the container would pass 4 GiB, beyond what its 32-bit offsets reach"});
        return;
    }
    assembly.table[i] = {in.manifest.entries[i].type, static_cast<std::uint32_t>(assembly.at)};
    std::string fault = "write";
    if (!out.append(packed.sealedHeader.data(), packed.sealedHeader.size()) ||
        !(packed.copyOf ? appendOriginal(out, in.original.survey, *packed.copyOf, copyBuffer, fault)
                        : out.append(room.packed.bytes(), packed.packedLength))) {
        if (fault == "read") {
            assembly.refuse(
                {in.original.survey.path, "cannot read it: " + platform::lastErrorText()});
        } else {
            assembly.refuse(
                {request.target, "cannot write it: " + platform::lastErrorText(), "cannot-write"});
        }
    }
    assembly.at += packed.sealedHeader.size() + packed.packedLength;
    assembly.copied += packed.copyOf ? 1 : 0;
}

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

bool endTarget(const PackRequest& request, Assembly& assembly, PendingOutput& out) {
    const std::string sealedTable = sealedOffsetTable(assembly.table);
    if (!assembly.failed && (!out.append(sealedTable.data(), sealedTable.size()) ||
                             !out.commit(request.force ? Existing::replace : Existing::refuse))) {
        const bool taken = out.nameTaken();
        assembly.refuse({request.target,
                         taken ? "it exists" + request.replaceHint
                               : "cannot write it: " + platform::lastErrorText(),
                         taken ? "exists" : "cannot-write"});
    }
    if (assembly.failed) {
        out.discard();
        return false;
    }
    assembly.at += sealedTable.size();
    return true;
}

}  // namespace dz
