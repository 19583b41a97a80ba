// The prover's decisions, and the state they are made from.
#include "dzlib/prover_schedule.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dz {
namespace {

constexpr auto kMost = std::numeric_limits<std::size_t>::max();

// A sub-file too large for one place beside others is tried again in such a place only when it
// has this many times the room it needed at least; otherwise it waits for an own room.
constexpr std::size_t kRetryMargin = 4;
// A sub-file goes to the first stretch of the shared room with this many times its likely size,
// where the memory was most likely touched before; else to the largest.
constexpr std::size_t kAmpleMargin = 2;

// The least room a place must have for `job`: where it likely fits, and for one that did not
// fit before, many times over what it needed at least.
std::size_t leastRoomFor(const ProverJob& job, double likely) {
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

}  // namespace

Schedule::Schedule(const std::vector<ProverJob>& order,
                   const std::vector<std::int64_t>& predecessors, const ScheduleShape& shape)
    : threads_(shape.threads),
      oneInflateFewer_(shape.oneInflateFewer && shape.threads >= 2),
      lanes_(std::max(shape.lanes, 1u)),
      budget_(shape.budget),
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

std::size_t Schedule::likelyBytes(const ProverJob& job) const {
    return leastRoomFor({.index = job.index, .packedSize = job.packedSize}, likelySize(job));
}

// A sub-file alone in the own rooms may take more than the budget; beside others there, only
// what it leaves.
bool Schedule::budgetHasRoom(const ProverJob& job) const {
    if (budget_ == 0 || arena_.ownRoomsHoldNothing()) return true;
    const std::size_t held = arena_.sharedSize() + ownCharged_;
    return held <= budget_ && likelyBytes(job) <= budget_ - held;
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

// Once as many wait as there are lanes, they are digested before more are inflated: so the
// lanes are full, and the memory they took is soon free for the next.
Step Schedule::next() const {
    const auto ready = std::count_if(slots_.begin(), slots_.end(),
                                     [](const Slot& slot) { return slot.full && !slot.digesting; });
    if (static_cast<std::size_t>(ready) >= lanes_) {
        if (const std::optional<Step> step = nextDigest()) return *step;
    }
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
// nothing, within the budget; any may go beside others in the shared room where it likely fits.
std::optional<Step> Schedule::placeFor(const ProverJob& job, bool first) const {
    if (exclusive_) return std::nullopt;
    if (job.waitsForMemory) return first ? placeWithAllMemory() : std::nullopt;
    if (first && mayInflate(/*intoShared=*/false) && budgetHasRoom(job)) {
        if (const std::optional<Place> place = arena_.freeOwnRoom()) return inflateStep(*place);
    }
    if (!arena_.hasShared() || !mayInflate(/*intoShared=*/true)) return std::nullopt;
    const std::size_t least = leastRoomFor(job, likelySize(job));
    std::optional<Place> place =
        arena_.firstGap(least > kMost / kAmpleMargin ? kMost : least * kAmpleMargin);
    if (!place) place = arena_.sharedGap(least);
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

// Up to `lanes` inflated sub-files with the most left to digest, that no worker digests now.
std::optional<Step> Schedule::nextDigest() const {
    std::vector<const Slot*> ready;
    for (const Slot& slot : slots_) {
        if (slot.full && !slot.digesting) ready.push_back(&slot);
    }
    if (ready.empty()) return std::nullopt;
    // Digests on several threads go faster than in more lanes on one while the others have
    // nothing to do: the waiting threads are left their share.
    const std::size_t share = (ready.size() + waiting_) / (1 + waiting_);
    const std::size_t count = std::clamp<std::size_t>(share, 1, lanes_);
    std::partial_sort(ready.begin(), ready.begin() + static_cast<std::ptrdiff_t>(count),
                      ready.end(),
                      [](const Slot* a, const Slot* b) { return a->left() > b->left(); });
    ready.resize(count);
    Step step;
    step.kind = Step::Kind::digest;
    step.digests = std::move(ready);
    return step;
}

Slot& Schedule::beginInflate(const Step& step) {
    const ProverJob job = pending_[step.job];
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(step.job));
    Slot& slot = slots_.emplace_back();
    slot.taken = arena_.take(step.place);
    slot.place = step.place;
    slot.job = job;
    if (step.place.own) {
        slot.charge = likelyBytes(job);
        ownCharged_ += slot.charge;
    }
    if (!step.place.own) sharedUsed_ = true;
    if (step.withAllMemory) exclusive_ = true;
    ++inflating_;
    return slot;
}

std::vector<Slot*> Schedule::beginDigest(const Step& step) {
    // The schedule owns its slots; the step names them as the decision saw them.
    std::vector<Slot*> slots;
    for (const Slot* named : step.digests) {
        auto* slot = const_cast<Slot*>(named);
        slot->digesting = true;
        slots.push_back(slot);
    }
    return slots;
}

void Schedule::inflated(Slot& slot, std::size_t length) {
    --inflating_;
    if (slot.job.waitsForMemory) exclusive_ = false;
    ended_[slot.job.index] = true;
    slot.full = true;
    slot.length = length;
    if (slot.place.own) {
        ownCharged_ = ownCharged_ - slot.charge + length;
        slot.charge = length;
    }
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
    ownCharged_ -= slot.charge;
    arena_.release(slot.taken);
    slots_.remove_if([&](const Slot& other) { return &other == &slot; });
}

}  // namespace dz
