// Proving many entries a piece at a time on the calling thread, several in hand at once so that
// their digests go side by side (dzlib/side_by_side.h).
#include <vector>

#include "digest/md5_lanes.h"
#include "dzlib/side_by_side.h"
#include "kestrix/kestrix.h"
#include "lib/state.h"

namespace kestrix {

std::vector<Proof> proveStreamingMany(
    const Container& container, const std::vector<std::uint32_t>& indexes,
    const std::function<void(std::size_t position, const Proof& proof)>& each, PastEnd pastEnd) {
    const auto& state = LibraryAccess::state(container);
    std::vector<Proof> proofs(indexes.size());
    std::vector<const dz::PlannedEntry*> passed;
    std::vector<std::size_t> positionOf;  // of each passed entry among `indexes`
    for (std::size_t position = 0; position < indexes.size(); ++position) {
        const dz::PlannedEntry& entry = state.planned(indexes[position]);
        if (entry.fault == dz::Fault::none) {
            passed.push_back(&entry);
            positionOf.push_back(position);
            continue;
        }
        proofs[position] = {reasonOf(entry.fault), 0};
        if (each) each(position, proofs[position]);
    }
    dz::proveSideBySide(state.survey.container, passed.data(), passed.size(),
                        digest::md5LaneCount(), pastEndOf(pastEnd),
                        [&](std::size_t at, dz::Fault fault, std::uint64_t length) {
                            const std::size_t position = positionOf[at];
                            proofs[position] = fault == dz::Fault::none ? Proof{Reason::ok, length}
                                                                        : Proof{reasonOf(fault), 0};
                            if (each) each(position, proofs[position]);
                        });
    return proofs;
}

}  // namespace kestrix
