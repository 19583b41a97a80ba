// Proving many entries a piece at a time on the calling thread, several in hand at once so that
// their digests go side by side (dzlib/side_by_side.h), in one call or a step at a time.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "digest/md5_lanes.h"
#include "dzlib/side_by_side.h"
#include "kestrix/kestrix.h"
#include "lib/state.h"

namespace kestrix {

struct StepwiseProver::State {
    std::function<void(std::size_t position, const Proof& proof)> each;
    std::vector<Proof> proofs;
    std::vector<std::size_t> positionOf;  // of each passed entry among the indexes
    std::optional<dz::SideBySide> prover;
};

StepwiseProver::StepwiseProver(const Container& container,
                               const std::vector<std::uint32_t>& indexes,
                               std::function<void(std::size_t position, const Proof& proof)> each,
                               PastEnd pastEnd)
    : state_(std::make_unique<State>()) {
    const auto& state = LibraryAccess::state(container);
    State& s = *state_;
    s.each = std::move(each);
    s.proofs.assign(indexes.size(), Proof{Reason::read, 0});
    std::vector<const dz::PlannedEntry*> passed;
    for (std::size_t position = 0; position < indexes.size(); ++position) {
        const dz::PlannedEntry& entry = state.planned(indexes[position]);
        if (entry.fault == dz::Fault::none) {
            passed.push_back(&entry);
            s.positionOf.push_back(position);
            continue;
        }
        s.proofs[position] = {reasonOf(entry.fault), 0};
        if (s.each) s.each(position, s.proofs[position]);
    }
    s.prover.emplace(state.survey.container, passed.data(), passed.size(), digest::md5LaneCount(),
                     pastEndOf(pastEnd),
                     [&s](std::size_t at, dz::Fault fault, std::uint64_t length) {
                         const std::size_t position = s.positionOf[at];
                         s.proofs[position] = fault == dz::Fault::none ? Proof{Reason::ok, length}
                                                                       : Proof{reasonOf(fault), 0};
                         if (s.each) s.each(position, s.proofs[position]);
                     });
}

StepwiseProver::~StepwiseProver() = default;

bool StepwiseProver::step(std::uint64_t bytes) {
    const std::uint64_t rounds = std::max<std::uint64_t>(bytes / dz::SideBySide::kSlice, 1);
    return state_->prover->run(static_cast<std::size_t>(std::min<std::uint64_t>(rounds, SIZE_MAX)));
}

const std::vector<Proof>& StepwiseProver::proofs() const {
    return state_->proofs;
}

std::vector<Proof> proveStreamingMany(
    const Container& container, const std::vector<std::uint32_t>& indexes,
    const std::function<void(std::size_t position, const Proof& proof)>& each, PastEnd pastEnd) {
    StepwiseProver prover(container, indexes, each, pastEnd);
    while (prover.step(UINT64_MAX)) {
    }
    return prover.proofs();
}

}  // namespace kestrix
