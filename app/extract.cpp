// Sub-file extraction.
#include "app/extract.h"

#include <algorithm>
#include <cstring>

#include "app/checks.h"
#include "app/console.h"
#include "dzlib/fault.h"
#include "dzlib/records.h"
#include "dzlib/text_field.h"
#include "dzlib/unpack.h"
#include "platform/platform.h"

namespace app {
namespace {

// Temporary files in the output folder are hidden and named after the program.
const char kTemporaryStem[] = ".kestrix-";

// Writes the verified bytes of piece `index` into its output: the first piece starts the
// output, the last one moves it into place. False when the output cannot be written.
bool writePiece(RunState& state, std::uint32_t index, const std::uint8_t* bytes,
                std::size_t length) {
    const dz::PlannedEntry& planned = state.plan.entries[index];
    const auto output = static_cast<std::size_t>(planned.output);
    dz::PendingOutput& pending = state.written.pending[output];
    if (!state.written.begun[output]) {
        state.written.begun[output] = true;
        pending = state.outputFolder.begin(state.plan.outputs[output].name, &state.container);
    }
    if (!pending.append(bytes, length)) return false;
    const bool lastPiece = state.plan.outputs[output].pieces.back() == index;
    return !lastPiece || pending.commit();
}

}  // namespace

void prepareOutputDir(RunState& state) {
    const char* directory = ".";
    if (state.arguments.count == 3 && state.arguments.tokens[2][0] != '\0') {
        directory = state.arguments.tokens[2];
    }
    std::size_t length = std::strlen(directory);
    if (length + 2 > sizeof state.outputPrefix) {
        // No output path can fit: every sub-file is refused by name.
        state.outputPrefix[0] = '\0';
        state.outputPrefixLength = sizeof state.outputPrefix;
        return;
    }
    platform::createDirectory(directory);
    state.outputFolder.open(directory, kTemporaryStem);
    std::memcpy(state.outputPrefix, directory, length);
    state.outputPrefix[length] = platform::kPathSeparator;
    state.outputPrefix[length + 1] = '\0';
    state.outputPrefixLength = length + 1;
}

bool extractAll(RunState& state) {
    prepareOutputDir(state);
    statusLine(state, "Unpacking informations:");

    // Paths are built in buffers of kPathSize bytes: a name must fit beside the prefix.
    const std::size_t longestName =
        state.outputPrefixLength < kPathSize ? kPathSize - 1 - state.outputPrefixLength : 0;
    state.plan = dz::planExtraction(state.container, state.offsetTable,
                                    dz::HeaderReading::carryOver, longestName);
    state.written.begun.assign(state.plan.outputs.size(), false);
    state.written.pending.resize(state.plan.outputs.size());

    bool done = true;
    for (std::uint32_t i = 0; i < state.plan.entries.size() && done; ++i) {
        done = checkSubfileHeader(state, i) && extractSubfile(state, i);
    }
    statusLine(state, "SubFiles: 0x%08X. (Packsmith)", {state.written.mask});
    // Outputs that are not whole are not written.
    state.written.pending.clear();
    return done;
}

bool extractSubfile(RunState& state, std::uint32_t index) {
    const dz::PlannedEntry& planned = state.plan.entries[index];
    const dz::SubfileHeader& header = state.subfileHeader;
    char name[sizeof header.name + 1];
    dz::printableText(dz::fieldText(header.name, sizeof header.name), state.utf8Terminal, name);
    const auto fail = [&](dz::Fault fault) {
        reportFault(state, fault, name);
        return false;
    };
    if (planned.fault == dz::Fault::fileName) return fail(dz::Fault::fileName);

    // Two sub-files cannot both be real when their bytes overlap.
    const dz::Region region = dz::regionOf(planned);
    for (const dz::Region& earlier : state.written.regions) {
        if (dz::overlaps(region, earlier)) return fail(dz::Fault::regionOverlap);
    }

    const std::uint32_t packedSize = header.packedSize;
    platform::Memory& packed = state.buffers.packed;
    platform::Memory& unpacked = state.buffers.unpacked;
    if (packedSize == 0) return fail(dz::Fault::packedMemory);  // no buffer of no bytes
    std::size_t& written = state.buffers.packedWritten;
    if (packed.size() < packedSize) {
        // Both are obtained again in their order, so that memory runs short where it would for
        // fresh ones.
        unpacked = platform::Memory();
        packed = platform::Memory();
        packed = platform::Memory(packedSize);
        written = 0;
        if (packed.bytes() == nullptr) return fail(dz::Fault::packedMemory);
    }
    // A short read leaves the rest zero, as in fresh memory (only what earlier reads filled is
    // cleared, so that a size claimed far past the end costs no more than before); inflate and
    // the digest judge what the buffer holds.
    const std::size_t read =
        state.container.readAt(region.begin + dz::kSubfileDataOffset, packed.bytes(), packedSize);
    if (read < written)
        std::memset(packed.bytes() + read, 0, std::min<std::size_t>(written, packedSize) - read);
    written = std::max(written, read);

    if (unpacked.bytes() == nullptr) unpacked = platform::Memory(state.workingSize);
    if (unpacked.bytes() == nullptr) return fail(dz::Fault::unpackedMemory);
    std::size_t unpackedLength = 0;
    const dz::Fault fault = dz::unpackSubfile(header, packed.bytes(), packedSize, unpacked.bytes(),
                                              state.workingSize, unpackedLength);
    if (fault != dz::Fault::none) return fail(fault);

    const bool merging = state.written.begun[static_cast<std::size_t>(planned.output)];
    const auto length32 = static_cast<std::uint32_t>(unpackedLength);
    if (merging) {
        detailLine(state, "     - Merging   \"%s\" (Packed:%08X - Unpacked:%08X).",
                   {name, packedSize, length32});
    } else {
        detailLine(state, "     - Unpacking \"%s\" (Packed:%08X - Unpacked:%08X).",
                   {name, packedSize, length32});
    }
    if (!writePiece(state, index, unpacked.bytes(), unpackedLength)) return fail(dz::Fault::write);

    const std::uint32_t type = planned.entry.type;
    if (type >= 1 && type <= 32) state.written.mask |= 1u << (type - 1);
    state.written.regions.push_back(region);
    return true;
}

}  // namespace app
