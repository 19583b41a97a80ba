// Inflating and digesting sub-files on several threads, two digests side by side.
#include "kx/prover.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#include "digest/md5.h"
#include "dzlib/inflate.h"
#include "dzlib/packed_data.h"
#include "dzlib/unpack.h"
#include "kx/unpacker.h"
#include "platform/platform.h"

namespace kx {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
// Of the 64 MiB over the workers' shares, what may go to the shared room; the program itself
// (code, stacks, heap) keeps the rest.
constexpr std::size_t kSpareForSharedRoom = 40 * kMiB;
// Bytes of each sub-file digested before a thread looks again at what else waits: small enough
// that freed memory is filled again soon, large enough that looking (and waking the others)
// costs next to nothing.
constexpr std::size_t kTurn = 4 * kMiB;
// Bytes digested and handed on at a time, so that they are handed on while the processor's cache
// still holds them.
constexpr std::size_t kSlice = kMiB;
// A sub-file too large for one place beside others is tried again in such a place only when it
// has this many times the room it needed at least; otherwise it waits for an own room.
constexpr std::size_t kRetryMargin = 4;
// Where sub-files may begin within a room.
constexpr std::size_t kAlignment = 4096;
// The shared room is made only when it takes no more than this share of the memory bound.
constexpr std::uint64_t kSharedRoomShare = 4;

// Memory for unpacked sub-files: a worker's own room, for one sub-file of any size at a time,
// or the shared room, of a fixed size, for as many as fit it side by side.
struct Room {
    platform::Memory memory;
    bool shared = false;
};

// One sub-file in a room: being inflated, then digested in slices.
struct Slot {
    Room* room = nullptr;
    std::size_t begin = 0;
    std::size_t capacity = 0;
    bool alone = false;      // put in an own room that held nothing, which may grow for it
    bool full = false;       // inflated, waiting for or in its digest
    bool digesting = false;  // a thread is digesting it now
    std::uint32_t index = 0;
    std::size_t length = 0;
    std::size_t digested = 0;
    digest::Md5State md5{};

    std::size_t end() const { return begin + (full ? length : capacity); }
    std::size_t left() const { return length - digested; }
    const std::uint8_t* next() const { return room->memory.bytes() + begin + digested; }
};

struct Job {
    std::uint32_t index;
    // More bytes than this, as a place too small for it showed (0: not tried yet).
    std::size_t moreThan;
    // It ran out of memory beside others: it waits for all of it (see placeAlone).
    bool waitsForMemory = false;
};

class Prover {
  public:
    Prover(const dz::Survey& survey, const std::vector<std::uint32_t>& order, unsigned threads,
           SharedRoom shared, const ProverCalls& calls, platform::MemoryBound& bound)
        : survey_(survey),
          calls_(calls),
          threads_(threads),
          oneInflateFewer_(shared.oneInflateFewer && threads >= 2),
          bound_(bound),
          idleKeep_(static_cast<std::size_t>(
              std::min<std::uint64_t>(bound.limit() / (2 * threads), kLargestSubfile))),
          unfinished_(order.size()) {
        std::uint32_t count = 0;
        for (const std::uint32_t index : order) {
            pending_.push_back({index, 0});
            count = std::max(count, index + 1);
        }
        ended_.assign(count, false);
        // Under a tight bound the rooms of the workers need the memory more.
        if (shared.size > bound.limit() / kSharedRoomShare) shared.size = 0;
        rooms_.resize(threads + (shared.size != 0 ? 1 : 0));
        for (std::size_t i = 0; i < rooms_.size(); ++i) {
            rooms_[i].shared = i == threads;
            rooms_[i].memory = platform::Memory::reserve(
                rooms_[i].shared ? shared.size : kLargestSubfile, &bound_);
            if (rooms_[i].shared && rooms_[i].memory.commit(shared.size)) shared_ = &rooms_[i];
        }
    }

    void run() {
        std::vector<std::jthread> others;  // joined as they go
        for (unsigned i = 1; i < threads_; ++i) others.emplace_back([this] { work(); });
        work();
    }

  private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (unfinished_ != 0) {
            if (inflateOne(lock) || digestSome(lock)) {
                changed_.notify_all();
            } else {
                ++waiting_;
                changed_.wait(lock);
                --waiting_;
            }
        }
        changed_.notify_all();
    }

    std::uint32_t packedSize(std::uint32_t index) const {
        return survey_.plan.entries[index].header.packedSize;
    }

    // How large the sub-file is likely to be, judged by how much those so far grew unpacked.
    double likelySize(const Job& job) const {
        const double growth = packedSoFar_ == 0 ? 1.0
                                                : static_cast<double>(unpackedSoFar_) /
                                                      static_cast<double>(packedSoFar_);
        return std::max(static_cast<double>(packedSize(job.index)) * std::max(growth, 1.0),
                        static_cast<double>(job.moreThan));
    }

    // What a room is given before the sub-file is inflated into it, so that it seldom has to be
    // inflated again in a larger one (an inflate that starts again when its room is too small
    // learns that only at the room's end): the worker's share of the bound beside the shared
    // room, or a little more than its likely size when that is more; all there is for one that
    // waited for all of it. What the data does not touch is given back once it is inflated.
    // Nothing ahead for an inflate that carries on in a larger room.
    std::size_t firstCommit(const Job& job) const {
        if (!dz::kInflateStartsAgainWhenShort) return 0;
        if (job.waitsForMemory) return kLargestSubfile;
        const std::uint64_t fixed = shared_ != nullptr ? shared_->memory.committed() : 0;
        const std::uint64_t share = (bound_.limit() - std::min(bound_.limit(), fixed)) / threads_;
        const double likely = std::max(likelySize(job) * 1.125, static_cast<double>(share));
        return likely >= static_cast<double>(kLargestSubfile) ? kLargestSubfile
                                                              : static_cast<std::size_t>(likely);
    }

    // The largest free stretch of a room between the sub-files in it: {begin, length}.
    std::pair<std::size_t, std::size_t> largestGap(const Room& room) const {
        std::vector<std::pair<std::size_t, std::size_t>> taken;
        for (const Slot& slot : slots_) {
            if (slot.room == &room) taken.emplace_back(slot.begin, slot.end());
        }
        std::sort(taken.begin(), taken.end());
        std::pair<std::size_t, std::size_t> best{0, 0};
        std::size_t from = 0;
        taken.emplace_back(room.memory.size(), room.memory.size());
        for (const auto& [begin, end] : taken) {
            if (begin > from && begin - from > best.second) best = {from, begin - from};
            from = std::max(from, (end + kAlignment - 1) / kAlignment * kAlignment);
        }
        return best;
    }

    bool holdsNothing(const Room& room) const {
        return std::none_of(slots_.begin(), slots_.end(),
                            [&](const Slot& slot) { return slot.room == &room; });
    }

    // Whether the job may begin: the entry it comes after has been inflated, or has failed.
    bool mayBegin(const Job& job) const {
        if (!calls_.after) return true;
        const std::int64_t before = calls_.after(job.index);
        return before < 0 || ended_[static_cast<std::size_t>(before)];
    }

    // Chooses where the job goes: the first one that may begin (the largest) takes an own room
    // that holds nothing; any may go beside others in the shared room where it likely fits.
    // False when there is no such place.
    bool place(const Job& job, bool first, Slot& slot) {
        if (exclusive_) return false;
        if (job.waitsForMemory) return first && placeAlone(slot);
        if (first && mayInflate(/*intoShared=*/false)) {
            for (Room& room : rooms_) {
                if (room.shared || !holdsNothing(room)) continue;
                slot.room = &room;
                slot.capacity = room.memory.size();
                slot.alone = true;
                return true;
            }
        }
        if (shared_ == nullptr || !mayInflate(/*intoShared=*/true)) return false;
        const auto [begin, length] = largestGap(*shared_);
        // One that did not fit there before is tried again only where it is sure to fit many
        // times over what it needed at least; otherwise it waits for an own room.
        const bool roomy = job.moreThan == 0 || length / kRetryMargin >= job.moreThan;
        if (length == 0 || !roomy || static_cast<double>(length) < likelySize(job)) return false;
        slot.room = shared_;
        slot.begin = begin;
        slot.capacity = length;
        return true;
    }

    // A sub-file that ran out of memory beside others is begun again only when no other is
    // being inflated and every worker's room holds nothing, which then gives back what it keeps;
    // and no other is begun while it is inflated. So it has all the memory the bound leaves
    // beside the shared room, and when that is not enough, it never will be.
    bool placeAlone(Slot& slot) {
        if (inflating_ != 0) return false;
        Room* chosen = nullptr;
        for (Room& room : rooms_) {
            if (room.shared) continue;
            if (!holdsNothing(room)) return false;
            if (chosen == nullptr || room.memory.committed() > chosen->memory.committed()) {
                chosen = &room;
            }
        }
        if (chosen == nullptr) return false;
        for (Room& room : rooms_) {
            if (!room.shared && &room != chosen) room.memory.trim(0);
        }
        exclusive_ = true;
        slot.room = chosen;
        slot.capacity = chosen->memory.size();
        slot.alone = true;
        return true;
    }

    // True when a sub-file that ran short of memory has had all it ever can: `held` bytes in its
    // room, beside `packed` bytes of packed data and the shared room.
    bool hadAllMemory(const Job& job, std::size_t held, std::size_t packed) const {
        if (job.waitsForMemory) return true;
        const std::uint64_t fixed = shared_ != nullptr ? shared_->memory.committed() : 0;
        return std::uint64_t{held} + packed + fixed + 2 * platform::kMemoryPage >= bound_.limit();
    }

    // Begins the first waiting sub-file that has a place. False when there is none to begin.
    bool inflateOne(std::unique_lock<std::mutex>& lock) {
        Slot placed;
        auto job = pending_.begin();
        bool first = true;
        for (; job != pending_.end(); ++job) {
            if (!mayBegin(*job)) continue;
            if (place(*job, first, placed = Slot{})) break;
            // None begins before one that waits for all the memory.
            if (job->waitsForMemory) return false;
            first = false;
        }
        if (job == pending_.end()) return false;

        const Job begun = *job;
        pending_.erase(job);
        placed.index = begun.index;
        Slot& slot = slots_.emplace_back(placed);
        if (slot.room->shared) sharedUsed_ = true;
        ++inflating_;
        const std::size_t commitFirst = slot.alone ? firstCommit(begun) : 0;
        lock.unlock();
        if (calls_.started) calls_.started(begun.index);
        std::size_t length = 0;
        dz::Fault fault;
        const bool alone = slot.alone;
        bool shortOfMemory = false;
        {
            // Packed data that cannot be read in place is read into memory held only meanwhile.
            platform::Memory packed;
            platform::FileView view;
            const std::uint8_t* bytes = nullptr;
            fault = dz::packedData(survey_, begun.index, dz::PastEnd::zeros, packed, view, bytes,
                                   &bound_);
            const std::size_t size = packedSize(begun.index);
            if (fault == dz::Fault::packedMemory) {
                shortOfMemory = !hadAllMemory(begun, size, 0);
            } else if (fault != dz::Fault::none) {
                // The container could not be read.
            } else if (alone && slot.room->memory.bytes() == nullptr) {
                fault = dz::Fault::unpackedMemory;
            } else if (alone) {
                // Alone in its room, the room grows to what the data needs, within the bound:
                // committed before it is touched, given back past the data's end when done.
                Room& room = *slot.room;
                room.memory.commitWhatFits(commitFirst);
                fault = dz::inflateSubfileInto(bytes, size, room.memory, length);
                if (fault == dz::Fault::unpackedMemory) {
                    shortOfMemory =
                        !hadAllMemory(begun, room.memory.committed(), packed.committed());
                }
                room.memory.trim(fault == dz::Fault::none ? length : 0);
            } else if (!dz::inflateSubfile(bytes, size, slot.room->memory.bytes() + slot.begin,
                                           slot.capacity, length)) {
                fault = dz::Fault::unpack;
            }
        }
        const bool misfit = (fault == dz::Fault::unpack && !alone) || shortOfMemory;
        if (!misfit && calls_.inflated) {
            calls_.inflated(begun.index,
                            fault == dz::Fault::none ? Proof{fault, length} : Proof{fault, 0});
        }
        lock.lock();
        --inflating_;
        if (begun.waitsForMemory) exclusive_ = false;
        if (!misfit) ended_[begun.index] = true;
        if (fault == dz::Fault::none) {
            slot.full = true;
            slot.length = length;
            digest::md5Start(slot.md5);
            packedSoFar_ += packedSize(begun.index);
            unpackedSoFar_ += length;
            return true;
        }
        const std::size_t triedIn = slot.capacity;
        remove(slot);
        if (shortOfMemory) {
            // The others held memory it needed: it waits for all there is, first.
            pending_.push_front({begun.index, 0, true});
        } else if (misfit) {
            // Perhaps only too large for where it was put: it is tried again first.
            pending_.push_front({begun.index, triedIn + 1});
        } else {
            finish(lock, begun.index, {fault, 0});
        }
        return true;
    }

    void remove(const Slot& slot) {
        slots_.remove_if([&](const Slot& other) { return &other == &slot; });
    }

    // Each inflating thread holds the packed data of one sub-file. Once the shared room holds
    // data, one thread fewer may inflate where that keeps the memory within the workers' shares.
    bool mayInflate(bool intoShared) const {
        const bool fewer = oneInflateFewer_ && (sharedUsed_ || intoShared);
        return inflating_ < (fewer ? threads_ - 1 : threads_);
    }

    // Digests the next slice of the one or two sub-files with the most left to digest, and ends
    // those whose digest is done. False when none waits.
    bool digestSome(std::unique_lock<std::mutex>& lock) {
        Slot* first = nullptr;
        Slot* second = nullptr;
        std::size_t free = 0;
        for (Slot& slot : slots_) {
            if (!slot.full) continue;
            if (slot.digesting) continue;
            ++free;
            if (first == nullptr || slot.left() > first->left()) {
                second = first;
                first = &slot;
            } else if (second == nullptr || slot.left() > second->left()) {
                second = &slot;
            }
        }
        if (first == nullptr) return false;
        // Two sub-files on two threads go faster than side by side on one while the other has
        // nothing to do: one is left to a waiting thread.
        if (waiting_ != 0 && free <= 1 + waiting_) second = nullptr;
        first->digesting = true;
        if (second != nullptr) second->digesting = true;
        lock.unlock();
        // Each slice is handed on while the processor's cache still holds it.
        const auto handOn = [&](Slot& slot, std::size_t length) {
            if (calls_.digested) calls_.digested(slot.index, slot.digested, slot.next(), length);
            slot.digested += length;
        };
        // Digests `length` bytes a slice at a time.
        const auto inSlices = [](std::size_t length, const auto& digestSlice) {
            for (std::size_t done = 0; done < length; done += kSlice)
                digestSlice(std::min(kSlice, length - done));
        };
        if (second != nullptr && second->left() >= 64) {
            inSlices(std::min(second->left(), kTurn) / 64 * 64, [&](std::size_t step) {
                digest::md5AddSideBySide(first->md5, first->next(), second->md5, second->next(),
                                         step);
                handOn(*first, step);
                handOn(*second, step);
            });
        } else {
            for (Slot* slot : {first, second}) {
                if (slot == nullptr) continue;
                inSlices(std::min(slot->left(), kTurn), [&](std::size_t step) {
                    digest::md5Add(slot->md5, slot->next(), step);
                    handOn(*slot, step);
                });
            }
        }
        lock.lock();
        for (Slot* slot : {first, second}) {
            if (slot == nullptr) continue;
            slot->digesting = false;
            if (slot->left() != 0) continue;
            const bool matches = dz::contentMatches(survey_.plan.entries[slot->index].header,
                                                    digest::md5Finish(slot->md5));
            const Proof proof =
                matches ? Proof{dz::Fault::none, slot->length} : Proof{dz::Fault::contentDigest, 0};
            slot->digesting = true;  // kept while its bytes are reported
            finish(lock, slot->index, proof, slot->room->memory.bytes() + slot->begin);
            Room& room = *slot->room;
            remove(*slot);
            // An idle room keeps no more than its share of the bound for the next sub-file.
            if (!room.shared) room.memory.trim(idleKeep_);
        }
        return true;
    }

    // Reports the end of one sub-file, outside the lock; its bytes stay where they are
    // meanwhile.
    void finish(std::unique_lock<std::mutex>& lock, std::uint32_t index, const Proof& proof,
                const std::uint8_t* bytes = nullptr) {
        lock.unlock();
        calls_.proven(index, proof, bytes);
        lock.lock();
        --unfinished_;
    }

    const dz::Survey& survey_;
    const ProverCalls& calls_;
    const unsigned threads_;
    const bool oneInflateFewer_;
    platform::MemoryBound& bound_;
    const std::size_t idleKeep_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> pending_;
    std::vector<Room> rooms_;
    std::list<Slot> slots_;    // stable: threads hold them outside the lock
    std::vector<bool> ended_;  // by entry: inflated, or failed for good
    std::size_t unfinished_;
    unsigned inflating_ = 0;
    unsigned waiting_ = 0;
    bool sharedUsed_ = false;
    bool exclusive_ = false;  // one that waited for all the memory is being inflated
    Room* shared_ = nullptr;  // null when there is none, or it could not be had
    std::uint64_t packedSoFar_ = 0;
    std::uint64_t unpackedSoFar_ = 0;
};

}  // namespace

std::vector<std::uint32_t> largestFirst(const dz::Survey& survey,
                                        const std::vector<std::uint32_t>& entries) {
    std::vector<std::uint32_t> order = entries;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return survey.plan.entries[a].header.packedSize > survey.plan.entries[b].header.packedSize;
    });
    return order;
}

SharedRoom sharedRoomFor(const dz::Survey& survey, const std::vector<std::uint32_t>& order,
                         unsigned workers) {
    if (order.size() < 2) return {};
    std::uint64_t largestPacked = 0;
    for (const std::uint32_t index : order) {
        largestPacked =
            std::max<std::uint64_t>(largestPacked, survey.plan.entries[index].header.packedSize);
    }
    if (workers >= 2) {
        return {static_cast<std::size_t>(largestPacked) + kSpareForSharedRoom, true};
    }
    return {kSpareForSharedRoom, false};
}

void proveEntries(const dz::Survey& survey, const std::vector<std::uint32_t>& order,
                  unsigned workers, const SharedRoom& shared, const ProverCalls& calls,
                  platform::MemoryBound* bound) {
    if (order.empty()) return;
    const auto threads = static_cast<unsigned>(std::clamp<std::size_t>(workers, 1, order.size()));
    platform::MemoryBound none(UINT64_MAX);
    Prover(survey, order, threads, shared, calls, bound != nullptr ? *bound : none).run();
}

}  // namespace kx
