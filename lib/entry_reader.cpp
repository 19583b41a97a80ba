// The public EntryReader: dzlib's entry reader behind the public API, and the streaming proof.
#include "dzlib/entry_reader.h"

#include <memory>
#include <optional>
#include <vector>

#include "dzlib/fault.h"
#include "kestrix/kestrix.h"
#include "lib/state.h"

namespace kestrix {

struct EntryReader::State {
    // Empty for an entry whose survey found a fault; it is then done with that fault.
    std::optional<dz::EntryReader> reader;
    dz::Fault surveyFault = dz::Fault::none;
};

EntryReader::EntryReader(const Container& container, std::uint32_t index, PastEnd pastEnd)
    : state_(std::make_unique<State>()) {
    const dz::PlannedEntry& entry = container.state().planned(index);
    state_->surveyFault = entry.fault;
    if (entry.fault == dz::Fault::none) {
        state_->reader.emplace(container.state().survey.container, entry, pastEndOf(pastEnd));
    }
}

EntryReader::~EntryReader() = default;
EntryReader::EntryReader(EntryReader&&) noexcept = default;
EntryReader& EntryReader::operator=(EntryReader&&) noexcept = default;

std::size_t EntryReader::read(void* buffer, std::size_t size) {
    if (state_ == nullptr || !state_->reader || size == 0) return 0;
    return state_->reader->read(static_cast<std::uint8_t*>(buffer), size);
}

bool EntryReader::done() const {
    return state_ == nullptr || !state_->reader || state_->reader->done();
}

Proof EntryReader::proof() const {
    if (state_ == nullptr) return {Reason::unpack, 0};  // moved from
    if (!state_->reader) return {reasonOf(state_->surveyFault), 0};
    const dz::EntryReader& reader = *state_->reader;
    if (!reader.done()) return {Reason::unpack, 0};  // the content so far is not all of it
    if (reader.fault() != dz::Fault::none) return {reasonOf(reader.fault()), 0};
    return {Reason::ok, reader.length()};
}

Proof proveStreaming(const Container& container, std::uint32_t index, PastEnd pastEnd) {
    EntryReader reader(container, index, pastEnd);
    std::vector<std::uint8_t> buffer(256 * 1024);
    while (reader.read(buffer.data(), buffer.size()) > 0) {
    }
    return reader.proof();
}

}  // namespace kestrix
