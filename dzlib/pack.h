// Packing a container from a manifest and the files it names, every level sealed with its digest,
// written whole: the steps kx pack and the library's pack share. Entries that name no file, and
// entries whose piece is unchanged, are copied from the original container as they stand; a
// changed piece keeps what its original packed stream holds of it, and only the blocks around the
// change are compressed again (docs/round-trip.md).
//
// A front end runs the steps in this order: loadPack, beginTarget, packEntry for every entry and
// writeEntry for each in table order, checkNothingChanged, endTarget. Nothing here prints or
// starts a thread: kx pack packs the entries on its workers, the library one after another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "dzlib/manifest.h"
#include "dzlib/output_writer.h"
#include "dzlib/pack_input.h"
#include "dzlib/pack_original.h"
#include "dzlib/records.h"
#include "platform/platform.h"

namespace dz {

// What to pack, and how.
struct PackRequest {
    std::string manifest;     // its path, as given (refusals name it so)
    std::string target;       // the container to write, as given
    int level = 6;            // deflate level, 0 to 9
    std::string base;         // the original container, instead of the one the manifest names
    bool recompress = false;  // compress every entry again, copying none from the original
    bool force = false;       // replace an existing target
    std::string temporaryStem = ".kestrix-";  // of the temporary file beside the target
    // Said after "it exists" when the target stands already: how the front end replaces it,
    // such as " (--force replaces it)"; none by default.
    std::string replaceHint;
};

// What a pack reads, checked before anything is written.
struct PackInputs {
    Manifest manifest;
    std::filesystem::path manifestPath;  // absolute
    std::map<std::string, Source> sources;
    Original original;
    std::filesystem::path target;  // absolute
};

// Reads and checks the manifest, the files it names, the original and the target. False with
// the refusals otherwise (every one, each entry concerned named).
bool loadPack(const PackRequest& request, PackInputs& in, std::vector<Refusal>& refusals);

// Begins the container in a temporary file beside the target, with its sealed main header, and
// sets `written` to its size. False, with why, when it cannot.
bool beginTarget(const PackRequest& request, const PackInputs& in, OutputFolder& folder,
                 PendingOutput& out, std::uint64_t& written, Refusal& why);

// How much work entry `i` is, for a progress display: its piece's length, or the packed size of
// the original's entry that it copies.
std::uint64_t packWeight(const PackInputs& in, std::size_t i);

// The room one entry is packed in: its content, its packed stream (new, or the original's), and
// the original's entry unpacked to compare with the content. Each commits against the memory
// bound as it is used.
struct PackRoom {
    explicit PackRoom(platform::MemoryBound* bound);
    // Gives back what the room holds past `keep` bytes of each part.
    void empty(std::size_t keep);
    platform::Memory content;
    platform::Memory packed;
    platform::Memory unpacked;
};

// One entry, packed: its sealed header, and its packed bytes: the original's entry `copyOf`'s
// (read again when it is written), or else at the start of its room's `packed`.
struct PackedEntry {
    std::string sealedHeader;
    std::size_t packedLength = 0;
    std::optional<std::uint32_t> copyOf;
};

// A piece's digest is taken this many bytes at a time (a whole number of MD5 blocks), each slice
// told to the caller's progress.
constexpr std::size_t kDigestSlice = 4u << 20;

// Packs entry `i` of the manifest into `room`. Its piece's digest is `known` where it was taken
// before (dzlib/pack_digests.h); otherwise it is taken here, and `digested(at, length)` called
// a slice at a time. False, with why, when it cannot be packed: not enough memory ("memory"), a
// piece that cannot be read, an original's entry that fails its checks.
bool packEntry(const PackRequest& request, const PackInputs& in, std::size_t i, PackRoom& room,
               PackedEntry& packed, Refusal& why, const digest::Digest* known = nullptr,
               const std::function<void(std::uint64_t, std::size_t)>& digested = {});

// The container as it is assembled: the entries written so far, in table order, and every
// refusal met. `refuse` may be called from several threads.
struct Assembly {
    explicit Assembly(std::size_t count) : table(count) {}
    std::vector<OffsetEntry> table;
    std::uint64_t at = 0;    // where the next entry goes; the container's size once it is ended
    std::size_t copied = 0;  // entries copied from the original
    std::atomic<bool> failed{false};
    std::mutex refusing;
    std::vector<Refusal> refusals;  // held under `refusing`

    void refuse(Refusal why);
};

// Writes entry `i`, packed in `room` (or copied from the original), at the end of `out`: entries
// are written one at a time in table order. A container that would pass what its 32-bit offsets
// reach, a failed read of the original or a failed write is refused into `assembly`.
// `copyBuffer` holds packed data that cannot be read in place.
void writeEntry(const PackRequest& request, const PackInputs& in, std::size_t i,
                const PackedEntry& packed, const PackRoom& room, PendingOutput& out,
                Assembly& assembly, std::vector<std::uint8_t>& copyBuffer);

// What was read must not have changed while it was: the container would not hold it. Refuses
// into `assembly` the first file whose stamp changed.
void checkNothingChanged(const PackInputs& in, Assembly& assembly);

// Ends the container, unless something was refused: seals the offset table after the entries and
// moves the target into place (replacing what stands at its name only with `force`: a file made
// there meanwhile is not replaced either). True when it is in place; `assembly.at` is then its
// size. Otherwise the target is left as it was and `assembly.refusals` says why.
bool endTarget(const PackRequest& request, Assembly& assembly, PendingOutput& out);

}  // namespace dz
