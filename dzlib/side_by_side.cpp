// Several entries proven at once, slice by slice, their digests side by side.
#include "dzlib/side_by_side.h"

#include <optional>

#include "digest/md5.h"
#include "digest/md5_lanes.h"
#include "dzlib/entry_inflater.h"
#include "dzlib/unpack.h"

namespace dz {

// An entry in hand.
struct SideBySide::Lane {
    std::size_t position = 0;
    std::optional<EntryInflater> inflater;
    digest::Md5State md5;
    std::unique_ptr<std::uint8_t[]> slice = std::make_unique<std::uint8_t[]>(kSlice);
    std::size_t filled = 0;

    // Fills the slice as far as the entry goes.
    void fill() {
        filled = 0;
        while (filled < kSlice && !inflater->done()) {
            filled += inflater->read(slice.get() + filled, kSlice - filled);
        }
    }
};

SideBySide::SideBySide(const Container& container, const PlannedEntry* const entries[],
                       std::size_t count, std::size_t lanes, PastEnd pastEnd, SideBySideEnd ended)
    : container_(container),
      entries_(entries, entries + count),
      pastEnd_(pastEnd),
      ended_(std::move(ended)),
      hand_(lanes < 1 ? 1 : lanes) {
    for (Lane& lane : hand_) take(lane);
}

SideBySide::~SideBySide() = default;

void SideBySide::take(Lane& lane) {
    lane.inflater.reset();
    if (next_ == entries_.size()) return;
    lane.position = next_;
    lane.inflater.emplace(container_, *entries_[next_++], pastEnd_);
    digest::md5Start(lane.md5);
}

bool SideBySide::run(std::size_t rounds) {
    std::vector<digest::Md5Job> jobs;
    jobs.reserve(hand_.size());
    for (; rounds > 0; --rounds) {
        jobs.clear();
        for (Lane& lane : hand_) {
            if (!lane.inflater) continue;
            lane.fill();
            jobs.push_back({&lane.md5, lane.slice.get(), lane.filled});
        }
        if (jobs.empty()) return false;
        digest::md5AddMany(jobs.data(), jobs.size());
        for (Lane& lane : hand_) {
            if (!lane.inflater || !lane.inflater->done()) continue;
            Fault fault = lane.inflater->fault();
            if (fault == Fault::none &&
                !contentMatches(lane.inflater->entry().header, digest::md5Finish(lane.md5))) {
                fault = Fault::contentDigest;
            }
            ended_(lane.position, fault, lane.inflater->length());
            take(lane);
        }
    }
    for (const Lane& lane : hand_) {
        if (lane.inflater) return true;
    }
    return false;
}

void proveSideBySide(const Container& container, const PlannedEntry* const entries[],
                     std::size_t count, std::size_t lanes, PastEnd pastEnd,
                     const SideBySideEnd& ended) {
    SideBySide prover(container, entries, count, lanes, pastEnd, ended);
    while (prover.run(SIZE_MAX)) {
    }
}

}  // namespace dz
