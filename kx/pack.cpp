// kx pack: a container built from a manifest and the files it names, every level sealed with its
// digest, written whole.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "digest/md5.h"
#include "dzlib/compress.h"
#include "dzlib/output_name.h"
#include "dzlib/output_writer.h"
#include "dzlib/records.h"
#include "dzlib/seal.h"
#include "dzlib/text_field.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/manifest.h"
#include "kx/parallel.h"
#include "kx/progress.h"
#include "kx/text.h"
#include "platform/platform.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// Sizes and offsets in a container are 32-bit.
constexpr std::uint64_t kLargest32 = UINT32_MAX;

// A file the manifest names, open for reading.
struct Source {
    platform::File file;
    std::uint64_t size = 0;
};

// Why a manifest cannot be packed: said once, by whoever finds it first.
struct Refusal {
    std::string subject;
    std::string what;
};

// Reads the whole manifest file.
bool readManifest(const std::string& path, Manifest& manifest, Refusal& refusal) {
    platform::File file = platform::File::openExclusiveRead(path.c_str());
    const std::int64_t size = file.isOpen() ? file.size() : -1;
    if (size < 0) {
        refusal = {path, "cannot read it: " + platform::lastErrorText()};
        return false;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    if (file.readAt(0, text.data(), text.size()) != text.size()) {
        refusal = {path, "cannot read it: " + platform::lastErrorText()};
        return false;
    }
    std::string error;
    if (!parseManifest(text, manifest, error)) {
        refusal = {path, "not a manifest: " + error};
        return false;
    }
    return true;
}

// Opens the files the entries name (relative to `folder`, never leaving it) and fixes where each
// entry's content lies: when a file has grown or shrunk, the last piece in it takes what remains.
bool placeContent(Manifest& manifest, const fs::path& folder,
                  std::map<std::string, Source>& sources, Refusal& refusal) {
    std::map<std::string, std::vector<std::size_t>> entriesOf;
    for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
        const std::string label = "entry " + std::to_string(i + 1);
        const auto& content = manifest.entries[i].content;
        if (!content) {
            refusal = {label, "names no file (it was not extracted)"};
            return false;
        }
        const fs::path relative = pathOfText(content->file).lexically_normal();
        const std::string text = textOfPath(relative);
        if (content->file.empty() || relative.has_root_path() || relative.has_root_name() ||
            text == ".." || text.rfind("../", 0) == 0 || text.rfind("..\\", 0) == 0) {
            refusal = {label,
                       "its file \"" + shown(content->file) + "\" leaves the manifest's folder"};
            return false;
        }
        entriesOf[content->file].push_back(i);
    }
    for (auto& [name, entries] : entriesOf) {
        const std::string path = textOfPath(folder / pathOfText(name));
        Source& source = sources[name];
        source.file = platform::File::openExclusiveRead(path.c_str());
        const std::int64_t size = source.file.isOpen() ? source.file.size() : -1;
        if (size < 0) {
            refusal = {path, "cannot read it: " + platform::lastErrorText()};
            return false;
        }
        source.size = static_cast<std::uint64_t>(size);
        std::size_t last = entries.front();
        std::uint64_t expected = 0;
        for (std::size_t i : entries) {
            const ContentPlace& place = *manifest.entries[i].content;
            if (place.offset >= manifest.entries[last].content->offset) last = i;
            expected = std::max(expected, place.offset + place.length);
        }
        if (source.size != expected) {
            ContentPlace& place = *manifest.entries[last].content;
            if (source.size <= place.offset) {
                refusal = {path, "it is " + withCommas(source.size) + " bytes long: entry " +
                                     std::to_string(last + 1) + ", its last piece, starts at " +
                                     withCommas(place.offset) + " and would be empty"};
                return false;
            }
            place.length = source.size - place.offset;
        }
        for (std::size_t i : entries) {
            const ContentPlace& place = *manifest.entries[i].content;
            if (place.offset + place.length > source.size) {
                refusal = {path, "it is too short for entry " + std::to_string(i + 1)};
                return false;
            }
            if (place.length > kLargest32) {
                refusal = {"entry " + std::to_string(i + 1),
                           "its content is larger than a container can hold (4 GiB)"};
                return false;
            }
        }
    }
    return true;
}

// What a container would refuse: too many entries, or a name Kestrix would not write.
bool checkEntries(const Manifest& manifest, Refusal& refusal) {
    if (manifest.entries.size() > dz::kLargestEntryCount) {
        refusal = {"manifest", std::to_string(manifest.entries.size()) +
                                   " entries: a container holds at most " +
                                   std::to_string(dz::kLargestEntryCount)};
        return false;
    }
    for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        if (dz::outputNameFor(entry.name, sizeof entry.name).empty()) {
            refusal = {"entry " + std::to_string(i + 1),
                       "its name could leave the output folder or name a device"};
            return false;
        }
    }
    return true;
}

// One worker's room: an entry's content, and its packed stream.
struct PackRoom {
    platform::Memory content = platform::Memory::reserve(kLargest32);
    platform::Memory packed = platform::Memory::reserve(kLargest32 + kLargest32 / 256 + (1u << 20));
};

}  // namespace

int runPack(const Options& options) {
    Manifest manifest;
    Refusal refusal;
    std::map<std::string, Source> sources;
    const fs::path manifestPath = fs::absolute(pathOfText(options.container)).lexically_normal();
    if (!readManifest(options.container, manifest, refusal) || !checkEntries(manifest, refusal) ||
        !placeContent(manifest, manifestPath.parent_path(), sources, refusal)) {
        printError(shown(refusal.subject), refusal.what);
        return kExitFailed;
    }

    const fs::path target = fs::absolute(pathOfText(options.output)).lexically_normal();
    const std::string folderPath = textOfPath(target.parent_path());
    const std::string targetName = textOfPath(target.filename());
    dz::OutputFolder folder;
    if (targetName.empty() || !folder.open(folderPath.c_str(), ".kx-")) {
        printError(shown(options.output), "cannot open its folder: " + platform::lastErrorText());
        return kExitFailed;
    }
    if (!options.force && folder.directory().holds(targetName.c_str())) {
        printError(shown(options.output), "it exists (--force replaces it)");
        return kExitFailed;
    }
    dz::PendingOutput out = folder.begin(targetName);
    dz::MainHeader header = manifest.header;
    std::memcpy(header.beginMarker, "MSTX", 4);
    std::memcpy(header.endMarker, "METX", 4);
    const std::string sealedHeader = dz::sealedMainHeader(header);
    if (!out.append(sealedHeader.data(), sealedHeader.size())) {
        printError(shown(options.output), "cannot write it: " + platform::lastErrorText());
        return kExitFailed;
    }

    // Entries are packed side by side and written in table order, so the bytes do not depend
    // on the workers. A packed entry waits in its room until those before it are written; one
    // room more than there are workers lets a worker go on meanwhile.
    const std::size_t count = manifest.entries.size();
    std::vector<dz::OffsetEntry> table(count);
    std::uint64_t at = sealedHeader.size();
    std::uint64_t total = 0;
    for (const ManifestEntry& entry : manifest.entries) total += entry.content->length;
    std::atomic<bool> failed{false};
    std::mutex refusalMutex;
    const auto refuse = [&](Refusal why) {
        std::lock_guard<std::mutex> lock(refusalMutex);
        if (!failed.exchange(true)) refusal = std::move(why);
    };
    {
        Progress progress(!options.quiet && platform::standardErrorIsTerminal(), total);
        const unsigned workers =
            static_cast<unsigned>(std::min<std::size_t>(workersFor(options), count + 1));
        std::vector<PackRoom> rooms(std::min<std::size_t>(workers + 1, count + 1));
        Rooms lender(rooms.size());
        InOrder writer(count);
        runInParallel(count, workers, [&](std::size_t i, unsigned) {
            const ManifestEntry& entry = manifest.entries[i];
            const ContentPlace& place = *entry.content;
            const std::size_t roomNumber = lender.take(i);
            PackRoom& room = rooms[roomNumber];
            std::size_t packedLength = 0;
            dz::SubfileHeader subfile{};
            if (!failed) {
                progress.working(std::string(dz::fieldText(entry.name, sizeof entry.name)));
                const Source& source = sources.at(place.file);
                const auto length = static_cast<std::size_t>(place.length);
                // Read in place where the system can. Bytes a file loses meanwhile read as zeros
                // there, so its length is looked at again once they are packed.
                const platform::FileView view = source.file.view(place.offset, length);
                const std::uint8_t* content = view.bytes();
                if (view.empty() && room.content.bytes() != nullptr &&
                    room.content.commit(length) &&
                    source.file.readAt(place.offset, room.content.bytes(), length) == length) {
                    content = room.content.bytes();
                }
                if (content == nullptr && length != 0) {
                    refuse({place.file, "cannot read it: " + platform::lastErrorText()});
                } else if (!dz::packContent(content, length, entry.wrapper, options.level,
                                            room.packed, packedLength)) {
                    refuse({"entry " + std::to_string(i + 1), "not enough memory to pack it"});
                } else if (!view.empty() && static_cast<std::uint64_t>(source.file.size()) <
                                                place.offset + place.length) {
                    refuse({place.file, "it was shortened while it was read"});
                } else {
                    std::memcpy(subfile.marker, "SSTX", 4);
                    std::memcpy(subfile.reserved, entry.reserved, sizeof subfile.reserved);
                    std::memcpy(subfile.name, entry.name, sizeof subfile.name);
                    const digest::Digest d = digest::md5Digest(content, length);
                    std::memcpy(subfile.unpackedDigest, d.data(), d.size());
                }
                progress.add(place.length);
            }
            writer.ready(i, [&, i, roomNumber, packedLength, subfile]() mutable {
                const PackRoom& packedRoom = rooms[roomNumber];
                if (!failed) {
                    if (at > kLargest32 || packedLength > kLargest32) {
                        refuse({"entry " + std::to_string(i + 1),
                                "the container would pass 4 GiB, beyond what its 32-bit offsets "
                                "reach"});
                    } else {
                        subfile.packedSize = static_cast<std::uint32_t>(packedLength);
                        table[i] = {manifest.entries[i].type, static_cast<std::uint32_t>(at)};
                        const std::string sealed = dz::sealedSubfileHeader(subfile);
                        if (!out.append(sealed.data(), sealed.size()) ||
                            !out.append(packedRoom.packed.bytes(), packedLength)) {
                            refuse(
                                {options.output, "cannot write it: " + platform::lastErrorText()});
                        }
                        at += sealed.size() + packedLength;
                    }
                }
                lender.give(roomNumber);
            });
        });
    }
    const std::string sealedTable = dz::sealedOffsetTable(table);
    if (!failed && (!out.append(sealedTable.data(), sealedTable.size()) || !out.commit())) {
        refuse({options.output, "cannot write it: " + platform::lastErrorText()});
    }
    if (failed) {
        out.discard();
        printError(shown(refusal.subject), refusal.what);
        return kExitFailed;
    }
    if (!options.quiet) {
        printOut(shown(options.output) + ": packed " + std::to_string(count) + " sub-file" +
                 (count == 1 ? "" : "s") + ", " + withCommas(at + sealedTable.size()) + " bytes\n");
    }
    return kExitGood;
}

}  // namespace kx
