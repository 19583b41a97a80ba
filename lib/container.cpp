// The public Container: dzlib's survey in the public API's plain structures, and the proof of an
// entry whole in memory.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "digest/md5.h"
#include "digest/md5_lanes.h"
#include "dzlib/fault.h"
#include "dzlib/inflate.h"
#include "dzlib/packed_data.h"
#include "dzlib/plan.h"
#include "dzlib/records.h"
#include "dzlib/survey.h"
#include "dzlib/text_field.h"
#include "dzlib/unpack.h"
#include "kestrix/kestrix.h"
#include "lib/state.h"
#include "platform/platform.h"

namespace kestrix {
namespace {

template <std::size_t width>
std::string textOf(const char (&field)[width]) {
    return std::string(dz::fieldText(field, width));
}

MainHeader mainHeaderOf(const dz::Survey& survey) {
    const dz::MainHeader& stored = survey.header;
    MainHeader header;
    header.verdict = reasonOf(survey.mainHeaderFault);
    header.version = stored.version;
    header.subfileCount = stored.subfileCount;
    header.creationTime = stored.creationTime;
    header.phoneModel = textOf(stored.phoneModel);
    header.internalName = textOf(stored.internalName);
    header.chip = textOf(stored.chip);
    header.fileName = textOf(stored.fileName);
    header.raw.assign(reinterpret_cast<const char*>(&stored), sizeof stored);
    return header;
}

Entry entryOf(const dz::Survey& survey, std::uint32_t index) {
    const dz::PlannedEntry& planned = survey.plan.entries[index];
    Entry entry;
    entry.index = index;
    entry.type = planned.entry.type;
    entry.offset = planned.entry.offset;
    entry.packedSize = planned.header.packedSize;
    entry.name = textOf(planned.header.name);
    std::memcpy(entry.digest.data(), planned.header.unpackedDigest, entry.digest.size());
    entry.outputName = planned.outputName;
    entry.output = planned.output;
    const dz::PiecePlace place = dz::pieceOf(survey.plan, index);
    entry.piece = static_cast<std::uint32_t>(place.piece);
    entry.pieces = static_cast<std::uint32_t>(place.pieces);
    entry.reason = reasonOf(planned.fault);
    return entry;
}

Container::OpenFailure failureOf(platform::ErrorKind kind) {
    switch (kind) {
        case platform::ErrorKind::notFound:
            return Container::OpenFailure::notFound;
        case platform::ErrorKind::denied:
            return Container::OpenFailure::denied;
        case platform::ErrorKind::folder:
            return Container::OpenFailure::folder;
        case platform::ErrorKind::notRegularFile:
            return Container::OpenFailure::notRegularFile;
        case platform::ErrorKind::held:
            return Container::OpenFailure::held;
        case platform::ErrorKind::other:
            break;
    }
    return Container::OpenFailure::other;
}

}  // namespace

const dz::PlannedEntry& Container::State::planned(std::uint32_t index) const {
    if (index >= survey.plan.entries.size()) {
        throw std::out_of_range("no entry " + std::to_string(index) + " in the container");
    }
    return survey.plan.entries[index];
}

Container::Container() = default;
Container::~Container() = default;
Container::Container(Container&&) noexcept = default;
Container& Container::operator=(Container&&) noexcept = default;

const Container::State& Container::state() const {
    static const State none;
    return state_ != nullptr ? *state_ : none;
}

bool Container::open(const std::string& path, std::string& error) {
    platform::prepareViews();  // packed data is read in place, as the programs read it
    state_ = std::make_unique<State>();
    State& fresh = *state_;
    openFailure_ = OpenFailure::none;
    if (!dz::surveyContainer(path, fresh.survey, error)) {
        openFailure_ = failureOf(platform::lastErrorKind());
        return false;
    }
    fresh.header = mainHeaderOf(fresh.survey);
    fresh.table = {reasonOf(fresh.survey.tableFault), fresh.survey.cutShort};
    for (std::uint32_t i = 0; i < fresh.survey.plan.entries.size(); ++i) {
        fresh.entries.push_back(entryOf(fresh.survey, i));
    }
    for (const dz::PlannedOutput& output : fresh.survey.plan.outputs) {
        fresh.outputs.push_back({output.name, output.pieces});
    }
    return true;
}

std::uint64_t Container::length() const {
    const std::int64_t length = state().survey.container.length();
    return length < 0 ? 0 : static_cast<std::uint64_t>(length);
}

const MainHeader& Container::mainHeader() const {
    return state().header;
}

const Table& Container::table() const {
    return state().table;
}

const std::vector<Entry>& Container::entries() const {
    return state().entries;
}

const std::vector<Output>& Container::outputs() const {
    return state().outputs;
}

bool Container::good() const {
    return state().survey.container.isOpen() && state().survey.good();
}

Content::Content() = default;
Content::~Content() = default;
Content::Content(Content&&) noexcept = default;
Content& Content::operator=(Content&&) noexcept = default;

const std::uint8_t* Content::data() const {
    return state_ != nullptr && state_->length > 0 ? state_->memory.bytes() : nullptr;
}

bool Content::State::reserve(platform::Memory& room) {
    if (room.bytes() == nullptr) {
        room = platform::Memory::reserveUpTo(dz::kLargestStored, std::size_t{16} << 20);
    }
    return room.bytes() != nullptr;
}

std::size_t Content::size() const {
    return state_ != nullptr ? state_->length : 0;
}

Proof Container::prove(std::uint32_t index, PastEnd pastEnd) const {
    Content content;
    return unpack(index, content, pastEnd);
}

Proof Container::unpack(std::uint32_t index, Content& content, PastEnd pastEnd) const {
    Proof proof = inflate(index, content, pastEnd);
    if (proof.reason != Reason::ok) return proof;
    const Content::State& rooms = *content.state_;
    if (!dz::contentMatches(state().planned(index).header,
                            digest::md5Digest(rooms.memory.bytes(), rooms.length))) {
        content.state_->length = 0;
        return {Reason::contentDigest, 0};
    }
    return proof;
}

std::vector<Proof> Container::unpackTogether(const std::vector<std::uint32_t>& indexes,
                                             std::vector<Content>& contents,
                                             PastEnd pastEnd) const {
    constexpr std::size_t kMost = 8;
    if (indexes.size() > kMost || contents.size() < indexes.size()) {
        throw std::invalid_argument("at most eight entries, each with a Content of its own");
    }
    for (std::uint32_t index : indexes) state().planned(index);  // throws past the entries
    std::vector<Proof> proofs;
    digest::Md5State states[kMost];
    digest::Md5Job jobs[kMost];
    std::size_t count = 0;
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        proofs.push_back(inflate(indexes[i], contents[i], pastEnd));
        if (proofs.back().reason != Reason::ok) continue;
        digest::md5Start(states[i]);
        const Content::State& rooms = *contents[i].state_;
        jobs[count++] = {&states[i], rooms.memory.bytes(), rooms.length};
    }
    digest::md5AddMany(jobs, count);
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        if (proofs[i].reason != Reason::ok) continue;
        if (!dz::contentMatches(state().planned(indexes[i]).header, digest::md5Finish(states[i]))) {
            contents[i].state_->length = 0;
            proofs[i] = {Reason::contentDigest, 0};
        }
    }
    return proofs;
}

Proof Container::inflate(std::uint32_t index, Content& content, PastEnd pastEnd) const {
    const dz::PlannedEntry& entry = state().planned(index);
    if (content.state_ == nullptr) content.state_ = std::make_unique<Content::State>();
    Content::State& rooms = *content.state_;
    rooms.length = 0;
    if (entry.fault != dz::Fault::none) return {reasonOf(entry.fault), 0};
    // The packed data is read in place, or into a room of its size (or a larger one kept from an
    // earlier entry); the content takes a room as large as the address space gives, up to all a
    // sub-file can take (less on a 32-bit system). The system gives them pages as they are
    // touched, and a Content unpacked into again keeps them.
    const std::size_t packedSize = entry.header.packedSize;
    if (rooms.packed.size() < std::max<std::size_t>(packedSize, 1)) {
        rooms.packed = platform::Memory::reserve(std::max<std::size_t>(packedSize, 1));
        if (rooms.packed.bytes() == nullptr) return {Reason::packedMemory, 0};
    }
    if (!rooms.reserve(rooms.memory)) return {Reason::unpackedMemory, 0};
    platform::FileView view;
    const std::uint8_t* bytes = nullptr;
    dz::Fault fault =
        dz::packedData(state().survey, index, pastEndOf(pastEnd), rooms.packed, view, bytes);
    if (fault != dz::Fault::none) return {reasonOf(fault), 0};
    std::size_t length = 0;
    fault = dz::inflateSubfileInto(bytes, packedSize, rooms.memory, length);
    if (fault == dz::Fault::unpack && rooms.memory.size() < dz::kLargestStored &&
        proveStreaming(*this, index, pastEnd).reason != Reason::unpack) {
        // Refused in a room smaller than a sub-file can take, but good as a stream: the content
        // outgrew the room.
        return {Reason::unpackedMemory, 0};
    }
    if (fault != dz::Fault::none) return {reasonOf(fault), 0};
    rooms.length = length;
    return {Reason::ok, length};
}

}  // namespace kestrix
