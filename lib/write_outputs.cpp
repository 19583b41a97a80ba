// Outputs written whole into a folder, one after another: each piece read and proven through the
// entry reader as it is written under a temporary name, and the output moved into place by the
// whole-file writer (dzlib/output_writer.h) only when every piece is in and proven.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dzlib/entry_reader.h"
#include "dzlib/fault.h"
#include "dzlib/output_writer.h"
#include "dzlib/survey.h"
#include "kestrix/kestrix.h"
#include "lib/state.h"
#include "platform/platform.h"

namespace kestrix {
namespace {

// Temporary files in the folder are hidden and named after the library.
const char kTemporaryStem[] = ".kestrix-";

// The content read from an entry at a time.
constexpr std::size_t kSlice = 256 * 1024;

void fail(Written& written, Reason reason, std::uint32_t entry, std::string detail = {}) {
    written.outcome = Outcome::failed;
    written.reason = reason;
    written.failedEntry = static_cast<int>(entry);
    written.detail = std::move(detail);
}

// What stands at an output's name, in the words of Written::detail.
std::string standing(const dz::OutputFolder& folder, const std::string& name) {
    return folder.directory().holdsFolder(name.c_str()) ? "it is a folder" : "it exists";
}

// Decides what becomes of output `index` before anything is written: failed when a piece failed
// the survey, kept or existing when a file stands at its name; otherwise it is still to be
// written (Outcome::extracted, for now).
Written decide(const dz::Survey& survey, std::uint32_t index, const dz::OutputFolder& folder,
               Overwrite overwrite) {
    const dz::PlannedOutput& output = survey.plan.outputs[index];
    Written written;
    written.output = index;
    written.name = output.name;
    written.outcome = Outcome::extracted;
    for (std::uint32_t piece : output.pieces) {
        const dz::Fault fault = survey.plan.entries[piece].fault;
        if (fault != dz::Fault::none) {
            fail(written, reasonOf(fault), piece);
            return written;
        }
    }
    if (overwrite != Overwrite::force && folder.directory().holds(output.name.c_str())) {
        written.outcome = overwrite == Overwrite::keep ? Outcome::kept : Outcome::exists;
        written.detail = standing(folder, output.name);
    }
    return written;
}

// Writes output `written.output` into `folder`, reading its pieces a slice at a time into
// `buffer`, and records how it went in `written`. `read(piece, bytes)` tells the piece in hand
// and the packed bytes of the output read so far.
void writeOutput(const dz::Survey& survey, dz::OutputFolder& folder, Overwrite overwrite,
                 std::vector<std::uint8_t>& buffer, Written& written,
                 const std::function<void(std::uint32_t, std::uint64_t)>& read) {
    const dz::PlannedOutput& output = survey.plan.outputs[written.output];
    dz::PendingOutput pending = folder.begin(output.name, &survey.container);
    if (!pending.isOpen()) {
        fail(written, Reason::write, output.pieces.front(), platform::lastErrorText());
        return;
    }
    std::uint64_t size = 0;
    std::uint64_t packedBefore = 0;  // the packed bytes of the pieces before the one in hand
    for (std::uint32_t piece : output.pieces) {
        const dz::PlannedEntry& entry = survey.plan.entries[piece];
        dz::EntryReader reader(survey.container, entry, dz::PastEnd::zeros);
        while (const std::size_t length = reader.read(buffer.data(), buffer.size())) {
            if (!pending.append(buffer.data(), length)) {
                fail(written, Reason::write, piece, platform::lastErrorText());
                return;
            }
            read(piece, packedBefore + reader.packedRead());
        }
        if (reader.fault() != dz::Fault::none) {
            fail(written, reasonOf(reader.fault()), piece);
            return;
        }
        size += reader.length();
        packedBefore += entry.header.packedSize;
    }
    // Without force, a file made at the name meanwhile is not replaced: the move refuses to.
    if (!pending.commit(overwrite == Overwrite::force ? dz::Existing::replace
                                                      : dz::Existing::refuse)) {
        if (!pending.nameTaken()) {
            fail(written, Reason::write, output.pieces.back(), platform::lastErrorText());
            return;
        }
        written.outcome = overwrite == Overwrite::keep ? Outcome::kept : Outcome::exists;
        written.detail = standing(folder, output.name);
        return;
    }
    written.size = size;
}

}  // namespace

const char* outcomeCode(Outcome outcome) {
    switch (outcome) {
        case Outcome::extracted:
            return "extracted";
        case Outcome::kept:
            return "kept";
        case Outcome::exists:
            return "exists";
        case Outcome::failed:
            break;
    }
    return "failed";
}

std::vector<Written> writeOutputs(const Container& container, const std::string& folder,
                                  const std::vector<std::uint32_t>& outputs, Overwrite overwrite,
                                  const ProgressCall& progress) {
    const dz::Survey& survey = LibraryAccess::state(container).survey;
    const auto& planned = survey.plan.outputs;
    std::vector<std::uint32_t> chosen = outputs;
    for (std::uint32_t index : chosen) {
        if (index >= planned.size()) {
            throw std::out_of_range("no output " + std::to_string(index) + " in the container");
        }
    }
    if (chosen.empty()) {
        for (std::uint32_t o = 0; o < planned.size(); ++o) chosen.push_back(o);
    }
    std::vector<Written> results;
    if (chosen.empty()) return results;

    const std::string path = folder.empty() ? "." : folder;
    dz::OutputFolder out;
    if (!platform::createDirectories(path.c_str()) || !out.open(path.c_str(), kTemporaryStem)) {
        const std::string why = "cannot make or open the folder: " + platform::lastErrorText();
        for (std::uint32_t index : chosen) {
            Written written;
            written.output = index;
            written.name = planned[index].name;
            fail(written, Reason::write, planned[index].pieces.front(), why);
            results.push_back(written);
        }
        return results;
    }
    // What becomes of each is decided first, so that the progress knows its whole.
    const auto weightOf = [&](std::uint32_t index) {
        std::uint64_t weight = 0;
        for (std::uint32_t piece : planned[index].pieces) {
            weight += survey.plan.entries[piece].header.packedSize;
        }
        return weight;
    };
    Progress told;
    for (std::uint32_t index : chosen) {
        results.push_back(decide(survey, index, out, overwrite));
        if (results.back().outcome == Outcome::extracted) told.total += weightOf(index);
    }
    std::vector<std::uint8_t> buffer(kSlice);
    for (Written& written : results) {
        if (written.outcome != Outcome::extracted) continue;
        const std::uint64_t start = told.done;
        writeOutput(survey, out, overwrite, buffer, written,
                    [&](std::uint32_t piece, std::uint64_t packedRead) {
                        told.done = start + packedRead;
                        told.entry = piece;
                        if (progress) progress(told);
                    });
        // Whatever became of it, its pieces are done with.
        told.done = start + weightOf(written.output);
        if (progress) progress(told);
    }
    return results;
}

}  // namespace kestrix
