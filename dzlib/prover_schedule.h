// What the prover's workers do next. A worker takes the prover's lock, asks the schedule for its
// next step (a decision from the schedule's state alone, which changes nothing), takes it,
// lets the lock go while it inflates or digests, and takes the lock again to record what came
// of it. The strategy: inflate a sub-file into a free room when one can be, else digest what
// waits in the rooms, as many sub-files at once as the digest has lanes for (see dzlib/prover.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <optional>
#include <vector>

#include "digest/md5.h"
#include "dzlib/rooms.h"

namespace dz {

// A sub-file that waits to be inflated.
struct ProverJob {
    std::uint32_t index = 0;
    std::uint32_t packedSize = 0;
    // More bytes than this, as a place too small for it showed (0: not tried yet).
    std::size_t moreThan = 0;
    // It ran out of memory beside others: it waits for all of it (see Schedule).
    bool waitsForMemory = false;
};

// One sub-file in a room: being inflated, then digested in slices. While a worker inflates or
// digests it (outside the lock), that worker alone touches it.
struct Slot {
    std::size_t taken = 0;  // its number in the arena
    Place place;
    ProverJob job;
    bool full = false;       // inflated, waiting for or in its digest
    bool digesting = false;  // a worker is digesting it, or reporting its end
    std::size_t length = 0;
    std::size_t digested = 0;
    // What it counts against the memory budget: in an own room, its likely size while it is
    // inflated, then its length (the shared room counts whole, the sub-files in it nothing).
    std::size_t charge = 0;
    digest::Md5State md5{};

    std::size_t left() const { return length - digested; }
};

// A worker's next step.
struct Step {
    enum class Kind { wait, inflate, digest };
    Kind kind = Kind::wait;
    // inflate: the job at this position in the queue, into `place`.
    std::size_t job = 0;
    Place place;
    // It waited for all the memory: the other own rooms give back what they keep, and no other
    // sub-file is begun while it is inflated.
    bool withAllMemory = false;
    // digest: the sub-files with the most left to digest, the most first.
    std::vector<const Slot*> digests;
};

struct ScheduleShape {
    unsigned threads = 1;
    // Once the shared room holds data, one thread fewer may inflate at a time.
    bool oneInflateFewer = false;
    std::size_t ownRoomSize = 0;
    std::size_t sharedRoomSize = 0;  // 0: none
    // How many sub-files one digest step takes at most.
    unsigned lanes = 2;
    // The most the shared room and the sub-files in the own rooms may take together (0: no
    // budget): a sub-file is begun in an own room beyond it only when those hold nothing.
    std::size_t budget = 0;
};

class Schedule {
  public:
    // The jobs in the order they are begun in. `predecessors[index]`: the entry that must be
    // inflated (or have failed for good) before entry `index` is begun, or -1 for none; it must
    // come earlier in the order. Empty: none has one.
    Schedule(const std::vector<ProverJob>& order, const std::vector<std::int64_t>& predecessors,
             const ScheduleShape& shape);

    // ---- The decision, from the state alone.
    // Digest `lanes` sub-files, those with the most left, once that many wait; else inflate the
    // first waiting sub-file that may begin and has a place: the first of those (the largest) in
    // an own room that holds nothing, where the budget has room for it, any in the shared room's
    // largest gap where it likely fits; else digest what waits; else wait.
    Step next() const;
    bool done() const { return unfinished_ == 0; }

    // How large the sub-file is likely to be, judged by how much those so far grew unpacked.
    double likelySize(const ProverJob& job) const;

    // ---- Taking a step.
    Slot& beginInflate(const Step& step);
    // The sub-files to digest.
    std::vector<Slot*> beginDigest(const Step& step);
    // A worker waits for a change, or has seen one.
    void waitBegins() { ++waiting_; }
    void waitEnds() { --waiting_; }

    // ---- Recording what came of it.
    // The sub-file in `slot` was inflated: `length` bytes.
    void inflated(Slot& slot, std::size_t length);
    // How an inflate failed: for good, too large for its place (it is tried again first, where
    // it has more room), or short of memory that others held (it waits for all of it, first).
    enum class Failure { forGood, misfit, shortOfMemory };
    // The inflate in `slot` failed; its place is free again. After a failure for good, its end
    // is still to be reported and recorded (ended).
    void inflateFailed(Slot& slot, Failure failure);
    // A turn of digests is over: a sub-file with more to digest may be taken up again; one at
    // its end stays reserved while its end is reported.
    void digestTurnOver(Slot& slot);
    // A sub-file has been reported at its end: its slot (when it has one) is free again.
    void ended(Slot* slot);
    // Own room `room` now keeps `bytes` of memory (the one that keeps the most is chosen for a
    // sub-file that waits for all of it).
    void roomKeeps(std::size_t room, std::size_t bytes) { kept_[room] = bytes; }

    const RoomArena& arena() const { return arena_; }
    bool sharedUsed() const { return sharedUsed_; }

  private:
    bool mayBegin(const ProverJob& job) const;
    bool mayInflate(bool intoShared) const;
    bool budgetHasRoom(const ProverJob& job) const;
    std::size_t likelyBytes(const ProverJob& job) const;
    std::optional<Step> nextInflate() const;
    std::optional<Step> placeFor(const ProverJob& job, bool first) const;
    std::optional<Step> placeWithAllMemory() const;
    std::optional<Step> nextDigest() const;
    void remove(Slot& slot);

    const unsigned threads_;
    const bool oneInflateFewer_;
    const unsigned lanes_;
    const std::size_t budget_;
    const std::vector<std::int64_t> predecessors_;
    RoomArena arena_;
    std::deque<ProverJob> pending_;
    std::list<Slot> slots_;          // stable: workers hold them outside the lock
    std::vector<bool> ended_;        // by entry: inflated, or failed for good
    std::vector<std::size_t> kept_;  // by own room
    std::size_t unfinished_;
    unsigned inflating_ = 0;
    unsigned waiting_ = 0;
    bool sharedUsed_ = false;
    bool exclusive_ = false;  // one that waited for all the memory is being inflated
    std::uint64_t packedSoFar_ = 0;
    std::uint64_t unpackedSoFar_ = 0;
    std::size_t ownCharged_ = 0;  // the charges of the sub-files in own rooms
};

}  // namespace dz
