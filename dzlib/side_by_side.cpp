// Several entries proven at once, slice by slice, their digests side by side.
#include "dzlib/side_by_side.h"

#include <memory>
#include <optional>
#include <vector>

#include "digest/md5.h"
#include "digest/md5_lanes.h"
#include "dzlib/entry_inflater.h"
#include "dzlib/unpack.h"

namespace dz {
namespace {

// The unpacked bytes of one entry digested at a time: a whole number of MD5 blocks, so that
// every state stays on a block boundary and its bytes go in lanes.
constexpr std::size_t kSlice = 256 * 1024;

// An entry in hand.
struct Lane {
    std::size_t position = 0;
    std::optional<EntryInflater> inflater;
    digest::Md5State md5;
    std::unique_ptr<std::uint8_t[]> slice = std::make_unique<std::uint8_t[]>(kSlice);
    std::size_t filled = 0;
};

// Fills the lane's slice as far as its entry goes.
void fill(Lane& lane) {
    lane.filled = 0;
    while (lane.filled < kSlice && !lane.inflater->done()) {
        lane.filled += lane.inflater->read(lane.slice.get() + lane.filled, kSlice - lane.filled);
    }
}

}  // namespace

void proveSideBySide(const Container& container, const PlannedEntry* const entries[],
                     std::size_t count, std::size_t lanes, PastEnd pastEnd,
                     const SideBySideEnd& ended) {
    std::vector<Lane> hand(lanes < 1 ? 1 : lanes);
    std::size_t next = 0;
    const auto take = [&](Lane& lane) {
        lane.inflater.reset();
        if (next == count) return;
        lane.position = next;
        lane.inflater.emplace(container, *entries[next++], pastEnd);
        digest::md5Start(lane.md5);
    };
    for (Lane& lane : hand) take(lane);

    std::vector<digest::Md5Job> jobs;
    jobs.reserve(hand.size());
    while (true) {
        jobs.clear();
        for (Lane& lane : hand) {
            if (!lane.inflater) continue;
            fill(lane);
            jobs.push_back({&lane.md5, lane.slice.get(), lane.filled});
        }
        if (jobs.empty()) return;
        digest::md5AddMany(jobs.data(), jobs.size());
        for (Lane& lane : hand) {
            if (!lane.inflater || !lane.inflater->done()) continue;
            Fault fault = lane.inflater->fault();
            if (fault == Fault::none &&
                !contentMatches(lane.inflater->entry().header, digest::md5Finish(lane.md5))) {
                fault = Fault::contentDigest;
            }
            ended(lane.position, fault, lane.inflater->length());
            take(lane);
        }
    }
}

}  // namespace dz
