// The prover's decisions, and the state they are made from.
#include "dzlib/prover_schedule.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dz {
namespace {

// A sub-file too large for one place beside others is tried again in such a place only when it
// has this many times the room it needed at least; otherwise it waits for an own room.
constexpr std::size_t kRetryMargin = 4;

// The least room a place must have for `job`: where it likely fits, and for one that did not
// fit before, many times over what it needed at least.
std::size_t leastRoomFor(const ProverJob& job, double likely) {
    constexpr auto kMost = std::numeric_limits<std::size_t>::max();
    std::size_t least =
        likely >= static_cast<double>(kMost) ? kMost : static_cast<std::size_t>(std::ceil(likely));
    if (job.moreThan != 0) {
        least = std::max(least,
                         job.moreThan > kMost / kRetryMargin ? kMost : job.moreThan * kRetryMargin);
    }
    return least;
}

Step inflateStep(const Place& place, bool withAllMemory = false) {
    Step step;
    step.kind = Step::Kind::inflate;
    step.place = place;
    step.withAllMemory = withAllMemory;
    return step;
}

Step digestStep(const Slot* first, const Slot* second) {
    Step step;
    step.kind = Step::Kind::digest;
    step.first = first;
    step.second = second;
    return step;
}

}  // namespace

Schedule::Schedule(const std::vector<ProverJob>& order,
                   const std::vector<std::int64_t>& predecessors, const ScheduleShape& shape)
    : threads_(shape.threads),
      oneInflateFewer_(shape.oneInflateFewer && shape.threads >= 2),
      predecessors_(predecessors),
      arena_(shape.threads, shape.ownRoomSize, shape.sharedRoomSize),
      pending_(order.begin(), order.end()),
      kept_(shape.threads, 0),
      unfinished_(order.size()) {
    std::uint32_t count = 0;
    for (const ProverJob& job : order) count = std::max(count, job.index + 1);
    ended_.assign(count, false);
}

double Schedule::likelySize(const ProverJob& job) const {
    const double growth =
        packedSoFar_ == 0 ? 1.0
                          : static_cast<double>(unpackedSoFar_) / static_cast<double>(packedSoFar_);
    return std::max(static_cast<double>(job.packedSize) * std::max(growth, 1.0),
                    static_cast<double>(job.moreThan));
}

bool Schedule::mayBegin(const ProverJob& job) const {
    if (job.index >= predecessors_.size()) return true;
    const std::int64_t before = predecessors_[job.index];
    return before < 0 || ended_[static_cast<std::size_t>(before)];
}

// Each inflating thread holds the packed data of one sub-file. Once the shared room holds data,
// one thread fewer may inflate where that keeps the memory within the workers' shares.
bool Schedule::mayInflate(bool intoShared) const {
    const bool fewer = oneInflateFewer_ && (sharedUsed_ || intoShared);
    return inflating_ < (fewer ? threads_ - 1 : threads_);
}

Step Schedule::next() const {
    if (const std::optional<Step> step = nextInflate()) return *step;
    if (const std::optional<Step> step = nextDigest()) return *step;
    return {};
}

std::optional<Step> Schedule::nextInflate() const {
    bool first = true;
    for (std::size_t position = 0; position < pending_.size(); ++position) {
        const ProverJob& job = pending_[position];
        if (!mayBegin(job)) continue;
        if (std::optional<Step> step = placeFor(job, first)) {
            step->job = position;
            return step;
        }
        // None begins before one that waits for all the memory.
        if (job.waitsForMemory) return std::nullopt;
        first = false;
    }
    return std::nullopt;
}

// Where the job goes: the first one that may begin (the largest) takes an own room that holds
// nothing; any may go beside others in the shared room where it likely fits.
std::optional<Step> Schedule::placeFor(const ProverJob& job, bool first) const {
    if (exclusive_) return std::nullopt;
    if (job.waitsForMemory) return first ? placeWithAllMemory() : std::nullopt;
    if (first && mayInflate(/*intoShared=*/false)) {
        if (const std::optional<Place> place = arena_.freeOwnRoom()) return inflateStep(*place);
    }
    if (!arena_.hasShared() || !mayInflate(/*intoShared=*/true)) return std::nullopt;
    const std::optional<Place> place = arena_.sharedGap(leastRoomFor(job, likelySize(job)));
    if (!place) return std::nullopt;
    return inflateStep(*place);
}

// A sub-file that ran out of memory beside others is begun again only when no other is being
// inflated and every worker's room holds nothing, in the room that keeps the most memory; and
// no other is begun while it is inflated. So it has all the memory the bound leaves beside the
// shared room, and when that is not enough, it never will be.
std::optional<Step> Schedule::placeWithAllMemory() const {
    if (inflating_ != 0 || arena_.ownRooms() == 0 || !arena_.ownRoomsHoldNothing()) {
        return std::nullopt;
    }
    std::size_t chosen = 0;
    for (std::size_t room = 1; room < arena_.ownRooms(); ++room) {
        if (kept_[room] > kept_[chosen]) chosen = room;
    }
    return inflateStep(arena_.ownRoom(chosen), /*withAllMemory=*/true);
}

// The one or two inflated sub-files with the most left to digest, that no worker digests now.
std::optional<Step> Schedule::nextDigest() const {
    const Slot* first = nullptr;
    const Slot* second = nullptr;
    std::size_t free = 0;
    for (const Slot& slot : slots_) {
        if (!slot.full || slot.digesting) continue;
        ++free;
        if (first == nullptr || slot.left() > first->left()) {
            second = first;
            first = &slot;
        } else if (second == nullptr || slot.left() > second->left()) {
            second = &slot;
        }
    }
    if (first == nullptr) return std::nullopt;
    // Two sub-files on two threads go faster than side by side on one while the other has
    // nothing to do: one is left to a waiting thread.
    if (waiting_ != 0 && free <= 1 + waiting_) second = nullptr;
    return digestStep(first, second);
}

Slot& Schedule::beginInflate(const Step& step) {
    const ProverJob job = pending_[step.job];
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(step.job));
    Slot& slot = slots_.emplace_back();
    slot.taken = arena_.take(step.place);
    slot.place = step.place;
    slot.job = job;
    if (!step.place.own) sharedUsed_ = true;
    if (step.withAllMemory) exclusive_ = true;
    ++inflating_;
    return slot;
}

std::pair<Slot*, Slot*> Schedule::beginDigest(const Step& step) {
    // The schedule owns its slots; the step names them as the decision saw them.
    auto* first = const_cast<Slot*>(step.first);
    auto* second = const_cast<Slot*>(step.second);
    first->digesting = true;
    if (second != nullptr) second->digesting = true;
    return {first, second};
}

void Schedule::inflated(Slot& slot, std::size_t length) {
    --inflating_;
    if (slot.job.waitsForMemory) exclusive_ = false;
    ended_[slot.job.index] = true;
    slot.full = true;
    slot.length = length;
    arena_.fill(slot.taken, length);
    digest::md5Start(slot.md5);
    packedSoFar_ += slot.job.packedSize;
    unpackedSoFar_ += length;
}

void Schedule::inflateFailed(Slot& slot, Failure failure) {
    --inflating_;
    const ProverJob job = slot.job;
    if (job.waitsForMemory) exclusive_ = false;
    const std::size_t triedIn = slot.place.capacity;
    remove(slot);
    switch (failure) {
        case Failure::forGood:
            ended_[job.index] = true;
            break;
        case Failure::misfit:
            // Perhaps only too large for where it was put: it is tried again first.
            pending_.push_front(
                {.index = job.index, .packedSize = job.packedSize, .moreThan = triedIn + 1});
            break;
        case Failure::shortOfMemory:
            // The others held memory it needed: it waits for all there is, first.
            pending_.push_front(
                {.index = job.index, .packedSize = job.packedSize, .waitsForMemory = true});
            break;
    }
}

void Schedule::digestTurnOver(Slot& slot) {
    if (slot.left() != 0) slot.digesting = false;
}

void Schedule::ended(Slot* slot) {
    if (slot != nullptr) remove(*slot);
    --unfinished_;
}

void Schedule::remove(Slot& slot) {
    arena_.release(slot.taken);
    slots_.remove_if([&](const Slot& other) { return &other == &slot; });
}

}  // namespace dz
