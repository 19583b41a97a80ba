// Inflating and digesting sub-files on several threads, many digests at once.
#include "dzlib/prover.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "digest/md5.h"
#include "digest/md5_lanes.h"
#include "dzlib/inflate.h"
#include "dzlib/packed_data.h"
#include "dzlib/prover_schedule.h"
#include "dzlib/unpack.h"
#include "dzlib/unpacker.h"
#include "platform/platform.h"

namespace dz {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
// Of the 64 MiB over the workers' shares, what may go to the shared room; the program itself
// (code, stacks, heap) keeps the rest.
constexpr std::size_t kSpareForSharedRoom = 40 * kMiB;
// Bytes of each sub-file digested before a thread looks again at what else waits: small enough
// that freed memory is filled again soon, large enough that looking (and waking the others)
// costs next to nothing.
constexpr std::size_t kTurn = 4 * kMiB;
// Bytes digested and handed on at a time, of all the sub-files digested at once together, so
// that they are handed on while the processor's cache still holds them; a whole number of
// blocks for each.
constexpr std::size_t kSlices = 2 * kMiB;
constexpr std::size_t kLeastSlice = 64 * 1024;
// The shared room is made only when it takes no more than this share of the memory bound.
constexpr std::uint64_t kSharedRoomShare = 2;
// Of a budget, the share the shared room takes; the workers' rooms have the rest.
constexpr std::uint64_t kBudgetShare = 2;

// What came of an inflate, as its worker found it outside the lock.
struct Inflation {
    dz::Fault fault = dz::Fault::none;
    std::size_t length = 0;
    bool shortOfMemory = false;  // it ran short while others held memory it needed
};

class Prover {
  public:
    Prover(const dz::Survey& survey, const std::vector<std::uint32_t>& order,
           const std::vector<std::int64_t>& predecessors, unsigned threads, SharedRoom shared,
           const ProverCalls& calls, platform::MemoryBound& bound)
        : survey_(survey),
          calls_(calls),
          threads_(threads),
          bound_(bound),
          memory_(makeRooms(threads, shared, bound)),
          schedule_(jobsOf(survey, order), predecessors,
                    {.threads = threads,
                     .oneInflateFewer = shared.oneInflateFewer,
                     .ownRoomSize = kLargestSubfile,
                     .sharedRoomSize = memory_.size() > threads ? shared.size : 0,
                     .lanes = digest::md5LaneCount(),
                     .budget = shared.budget}),
          idleKeep_(idleKeepFor(threads, shared, bound)) {}

    void run() {
        std::vector<std::jthread> others;  // joined as they go
        for (unsigned i = 1; i < threads_; ++i) others.emplace_back([this] { work(); });
        work();
    }

  private:
    // The workers' own rooms, and after them the shared room when it can be had: under a tight
    // bound the rooms of the workers need the memory more.
    static std::vector<platform::Memory> makeRooms(unsigned threads, const SharedRoom& shared,
                                                   platform::MemoryBound& bound) {
        std::vector<platform::Memory> rooms;
        for (unsigned i = 0; i < threads; ++i) {
            rooms.push_back(platform::Memory::reserve(kLargestSubfile, &bound));
        }
        if (shared.size != 0 && shared.size <= bound.limit() / kSharedRoomShare) {
            platform::Memory room = platform::Memory::reserve(shared.size, &bound);
            if (room.commit(shared.size)) rooms.push_back(std::move(room));
        }
        return rooms;
    }

    // What an idle own room keeps for the next sub-file: half its share of the bound, or of what
    // the budget leaves beside the shared room.
    std::size_t idleKeepFor(unsigned threads, const SharedRoom& shared,
                            const platform::MemoryBound& bound) const {
        std::uint64_t pool = bound.limit();
        if (shared.budget != 0) {
            pool = std::min<std::uint64_t>(
                pool, shared.budget - std::min(shared.budget, schedule_.arena().sharedSize()));
        }
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(pool / (2 * threads), kLargestSubfile));
    }

    static std::vector<ProverJob> jobsOf(const dz::Survey& survey,
                                         const std::vector<std::uint32_t>& order) {
        std::vector<ProverJob> jobs;
        for (const std::uint32_t index : order) {
            jobs.push_back(
                {.index = index, .packedSize = survey.plan.entries[index].header.packedSize});
        }
        return jobs;
    }

    // Decides under the lock, works outside it, records under it.
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!schedule_.done()) {
            const Step step = schedule_.next();
            if (step.kind == Step::Kind::inflate) {
                inflateStep(lock, step);
            } else if (step.kind == Step::Kind::digest) {
                digestStep(lock, step);
            } else {
                schedule_.waitBegins();
                changed_.wait(lock);
                schedule_.waitEnds();
                continue;
            }
            changed_.notify_all();
        }
        changed_.notify_all();
    }

    std::uint8_t* bytesOf(const Slot& slot) {
        return memory_[slot.place.room].bytes() + slot.place.begin;
    }

    // What a room is given before the sub-file is inflated into it, so that it seldom has to be
    // inflated again in a larger one (an inflate that starts again when its room is too small
    // learns that only at the room's end): the worker's share of the bound beside the shared
    // room, or a little more than its likely size when that is more; all there is for one that
    // waited for all of it. What the data does not touch is given back once it is inflated.
    // Nothing ahead for an inflate that carries on in a larger room.
    std::size_t firstCommit(const ProverJob& job) const {
        if (!dz::kInflateStartsAgainWhenShort) return 0;
        if (job.waitsForMemory) return kLargestSubfile;
        const std::uint64_t share =
            (bound_.limit() - std::min(bound_.limit(), sharedCommitted())) / threads_;
        const double likely =
            std::max(schedule_.likelySize(job) * 1.125, static_cast<double>(share));
        return likely >= static_cast<double>(kLargestSubfile) ? kLargestSubfile
                                                              : static_cast<std::size_t>(likely);
    }

    std::uint64_t sharedCommitted() const {
        return memory_.size() > threads_ ? memory_[threads_].committed() : 0;
    }

    // True when a sub-file that ran short of memory has had all it ever can: `held` bytes in its
    // room, beside `packed` bytes of packed data and the shared room.
    bool hadAllMemory(const ProverJob& job, std::size_t held, std::size_t packed) const {
        if (job.waitsForMemory) return true;
        return std::uint64_t{held} + packed + sharedCommitted() + 2 * platform::kMemoryPage >=
               bound_.limit();
    }

    // Takes the step's place for its sub-file, inflates it outside the lock, and records what
    // came of it: inflated, to be tried again, or failed for good (then reported).
    void inflateStep(std::unique_lock<std::mutex>& lock, const Step& step) {
        Slot& slot = schedule_.beginInflate(step);
        if (step.withAllMemory) {
            // The other own rooms give back what they keep.
            for (std::size_t room = 0; room < threads_; ++room) {
                if (room == slot.place.room) continue;
                memory_[room].trim(0);
                schedule_.roomKeeps(room, 0);
            }
        }
        const std::size_t commitFirst = slot.place.own ? firstCommit(slot.job) : 0;
        lock.unlock();
        if (calls_.started) calls_.started(slot.job.index);
        const Inflation inflation = inflateInto(slot, commitFirst);
        const bool misfit =
            (inflation.fault == dz::Fault::unpack && !slot.place.own) || inflation.shortOfMemory;
        if (!misfit && calls_.inflated) {
            calls_.inflated(slot.job.index, {inflation.fault, inflation.length});
        }
        lock.lock();
        if (slot.place.own)
            schedule_.roomKeeps(slot.place.room, memory_[slot.place.room].committed());
        if (inflation.fault == dz::Fault::none) {
            schedule_.inflated(slot, inflation.length);
            return;
        }
        const std::uint32_t index = slot.job.index;
        schedule_.inflateFailed(slot, inflation.shortOfMemory ? Schedule::Failure::shortOfMemory
                                      : misfit                ? Schedule::Failure::misfit
                                                              : Schedule::Failure::forGood);
        if (!misfit) report(lock, index, {inflation.fault, 0}, nullptr, nullptr);
    }

    // Reads the sub-file's packed data and inflates it into its place, outside the lock.
    Inflation inflateInto(Slot& slot, std::size_t commitFirst) {
        Inflation result;
        const std::uint32_t index = slot.job.index;
        // Packed data that cannot be read in place is read into memory held only meanwhile.
        platform::Memory packed;
        platform::FileView view;
        const std::uint8_t* bytes = nullptr;
        result.fault =
            dz::packedData(survey_, index, dz::PastEnd::zeros, packed, view, bytes, &bound_);
        const std::size_t size = slot.job.packedSize;
        platform::Memory& room = memory_[slot.place.room];
        if (result.fault == dz::Fault::packedMemory) {
            result.shortOfMemory = !hadAllMemory(slot.job, size, 0);
        } else if (result.fault != dz::Fault::none) {
            // The container could not be read.
        } else if (slot.place.own && room.bytes() == nullptr) {
            result.fault = dz::Fault::unpackedMemory;
        } else if (slot.place.own) {
            // Alone in its room, the room grows to what the data needs, within the bound:
            // committed before it is touched, given back past the data's end when done.
            room.commitWhatFits(commitFirst);
            result.fault = dz::inflateSubfileInto(bytes, size, room, result.length);
            if (result.fault == dz::Fault::unpackedMemory) {
                result.shortOfMemory =
                    !hadAllMemory(slot.job, room.committed(), packed.committed());
            }
            room.trim(result.fault == dz::Fault::none ? result.length : 0);
        } else if (!dz::inflateSubfile(bytes, size, bytesOf(slot), slot.place.capacity,
                                       result.length)) {
            result.fault = dz::Fault::unpack;
        }
        if (result.fault != dz::Fault::none) result.length = 0;
        return result;
    }

    // Digests the next turn of the step's sub-files outside the lock, and reports those whose
    // digest is done.
    void digestStep(std::unique_lock<std::mutex>& lock, const Step& step) {
        const std::vector<Slot*> slots = schedule_.beginDigest(step);
        lock.unlock();
        digestTurn(slots);
        lock.lock();
        for (Slot* slot : slots) schedule_.digestTurnOver(*slot);
        for (Slot* slot : slots) {
            if (slot->left() != 0) continue;
            const bool matches = dz::contentMatches(survey_.plan.entries[slot->job.index].header,
                                                    digest::md5Finish(slot->md5));
            const Proof proof =
                matches ? Proof{dz::Fault::none, slot->length} : Proof{dz::Fault::contentDigest, 0};
            report(lock, slot->job.index, proof, bytesOf(*slot), slot);
        }
    }

    // Digests up to a turn's bytes of each sub-file, all of them at once a slice each at a time,
    // handing each slice on while the processor's cache still holds it.
    void digestTurn(const std::vector<Slot*>& slots) {
        std::vector<std::size_t> ends;  // where each one's turn ends
        for (const Slot* slot : slots)
            ends.push_back(slot->digested + std::min(slot->left(), kTurn));
        const std::size_t slice = std::max(kSlices / slots.size(), kLeastSlice) / 64 * 64;
        std::vector<digest::Md5Job> jobs;
        std::vector<Slot*> sliced;
        for (;;) {
            jobs.clear();
            sliced.clear();
            for (std::size_t i = 0; i < slots.size(); ++i) {
                Slot& slot = *slots[i];
                if (slot.digested == ends[i]) continue;
                const std::size_t length = std::min(slice, ends[i] - slot.digested);
                jobs.push_back({&slot.md5, bytesOf(slot) + slot.digested, length});
                sliced.push_back(&slot);
            }
            if (jobs.empty()) return;
            digest::md5AddMany(jobs.data(), jobs.size());
            for (std::size_t i = 0; i < jobs.size(); ++i) {
                Slot& slot = *sliced[i];
                if (calls_.digested) {
                    calls_.digested(slot.job.index, slot.digested, jobs[i].bytes, jobs[i].length);
                }
                slot.digested += jobs[i].length;
            }
        }
    }

    // Reports the end of one sub-file outside the lock (its bytes, when it has any, stay where
    // they are meanwhile), then records it: its place is free again, and an idle own room keeps
    // no more than its share of the bound for the next sub-file.
    void report(std::unique_lock<std::mutex>& lock, std::uint32_t index, const Proof& proof,
                const std::uint8_t* bytes, Slot* slot) {
        lock.unlock();
        calls_.proven(index, proof, bytes);
        lock.lock();
        if (slot != nullptr && slot->place.own) {
            memory_[slot->place.room].trim(idleKeep_);
            schedule_.roomKeeps(slot->place.room, memory_[slot->place.room].committed());
        }
        schedule_.ended(slot);
    }

    const dz::Survey& survey_;
    const ProverCalls& calls_;
    const unsigned threads_;
    platform::MemoryBound& bound_;

    std::mutex mutex_;
    std::condition_variable changed_;
    // By room: the workers' own, then the shared one when there is one. Each own room's memory
    // is touched under the lock only while it holds nothing, and outside it only by the worker
    // that inflates into it.
    std::vector<platform::Memory> memory_;
    Schedule schedule_;
    const std::size_t idleKeep_;
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
                         unsigned workers, std::uint64_t budget) {
    if (order.size() < 2) return {.budget = static_cast<std::size_t>(budget)};
    std::uint64_t largestPacked = 0;
    for (const std::uint32_t index : order) {
        largestPacked =
            std::max<std::uint64_t>(largestPacked, survey.plan.entries[index].header.packedSize);
    }
    const std::uint64_t unbudgeted =
        workers >= 2 ? largestPacked + kSpareForSharedRoom : std::uint64_t{kSpareForSharedRoom};
    const std::uint64_t half =
        budget / kBudgetShare / platform::kMemoryPage * platform::kMemoryPage;
    if (half > unbudgeted) {
        return {static_cast<std::size_t>(half), false, static_cast<std::size_t>(budget)};
    }
    return {static_cast<std::size_t>(unbudgeted), workers >= 2, static_cast<std::size_t>(budget)};
}

void proveEntries(const dz::Survey& survey, const std::vector<std::uint32_t>& order,
                  const std::vector<std::int64_t>& predecessors, unsigned workers,
                  const SharedRoom& shared, const ProverCalls& calls,
                  platform::MemoryBound* bound) {
    if (order.empty()) return;
    const auto threads = static_cast<unsigned>(std::clamp<std::size_t>(workers, 1, order.size()));
    platform::MemoryBound none(UINT64_MAX);
    Prover(survey, order, predecessors, threads, shared, calls, bound != nullptr ? *bound : none)
        .run();
}

}  // namespace dz
