// The prover's decisions, without threads or memory: from a state reached by steps taken and
// recorded, the step a worker takes next.
#include "dzlib/prover_schedule.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using dz::Schedule;
using dz::Step;

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;
constexpr std::size_t kOwnSize = std::size_t{1} << 32;

// Takes steps on a schedule as a worker would, and finds their sub-files by entry.
struct Worker {
    Schedule& schedule;
    std::map<std::uint32_t, dz::Slot*> slots;

    // Begins the next step, which must be an inflate.
    void begin() {
        const Step step = schedule.next();
        ASSERT_EQ(step.kind, Step::Kind::inflate);
        dz::Slot& slot = schedule.beginInflate(step);
        slots[slot.job.index] = &slot;
    }
    void inflated(std::uint32_t entry, std::size_t length) {
        schedule.inflated(*slots.at(entry), length);
    }
    // Its digest is done and its end reported.
    void finish(std::uint32_t entry) {
        dz::Slot* slot = slots.at(entry);
        slot->digested = slot->length;
        schedule.ended(slot);
        slots.erase(entry);
    }
    void failed(std::uint32_t entry, Schedule::Failure failure) {
        schedule.inflateFailed(*slots.at(entry), failure);
        slots.erase(entry);
        if (failure == Schedule::Failure::forGood) schedule.ended(nullptr);
    }
};

struct Expected {
    Step::Kind kind;
    std::uint32_t entry = 0;  // inflate: the entry begun; digest: the first
    std::size_t room = 0;     // inflate
    std::size_t begin = 0;    // inflate
    bool withAllMemory = false;
    std::vector<std::uint32_t> digests;  // digest: the entries, the one with the most left first
};

Expected inflate(std::uint32_t entry, std::size_t room, std::size_t begin = 0,
                 bool withAllMemory = false) {
    return {Step::Kind::inflate, entry, room, begin, withAllMemory, {}};
}
Expected digest(std::vector<std::uint32_t> entries) {
    return {Step::Kind::digest, 0, 0, 0, false, std::move(entries)};
}
Expected wait() {
    return {Step::Kind::wait, 0, 0, 0, false, {}};
}

struct Case {
    std::string what;
    dz::ScheduleShape shape;
    std::vector<dz::ProverJob> jobs;  // in order; each {entry, packed size}
    std::map<std::uint32_t, std::int64_t> predecessors;
    std::function<void(Worker&)> before;
    Expected next;
};

dz::ScheduleShape shape(unsigned threads, std::size_t shared = 0, bool oneInflateFewer = false) {
    return {threads, oneInflateFewer, kOwnSize, shared, /*lanes=*/8};
}
dz::ScheduleShape lanes(unsigned threads, unsigned count) {
    return {
        .threads = threads, .ownRoomSize = kOwnSize, .sharedRoomSize = 8 * kMiB, .lanes = count};
}
dz::ScheduleShape budget(unsigned threads, std::size_t shared, std::size_t bytes) {
    return {.threads = threads, .ownRoomSize = kOwnSize, .sharedRoomSize = shared, .budget = bytes};
}

// Inflates the next jobs one after another into whatever room each gets: {entry, length}.
void inflateEach(Worker& w,
                 std::initializer_list<std::pair<std::uint32_t, std::size_t>> inflations) {
    for (const auto& [entry, length] : inflations) {
        w.begin();
        w.inflated(entry, length);
    }
}

dz::ProverJob job(std::uint32_t entry, std::size_t packed) {
    return {entry, static_cast<std::uint32_t>(packed), 0, false};
}

TEST(ProverScheduleTest, TheNextStepFollowsTheStrategy) {
    const auto nothing = [](Worker&) {};
    const std::vector<Case> cases = {
        {"the first job takes the first own room",
         shape(2),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {},
         nothing,
         inflate(7, 0)},
        {"the next takes the next own room",
         shape(2),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {},
         [](Worker& w) { w.begin(); },
         inflate(3, 1)},
        {"with every own room taken and no shared room, a worker waits",
         shape(1),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {},
         [](Worker& w) { w.begin(); },
         wait()},
        {"with the own rooms taken, one goes to the shared room where it likely fits",
         shape(2, 1 * kMiB),
         {job(7, 100 * kKiB), job(3, 50 * kKiB), job(5, 200 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.inflated(3, 50 * kKiB);
         },
         inflate(5, 2, 0)},
        {"one larger than the shared room waits; a later one that fits goes first",
         shape(2, 1 * kMiB),
         {job(7, 100 * kKiB), job(3, 50 * kKiB), job(5, 2 * kMiB), job(9, 10 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.inflated(7, 100 * kKiB);
         },
         inflate(9, 2, 0)},
        {"its likely size counts what those before it grew",
         shape(1, 1 * kMiB),
         {job(7, 100 * kKiB), job(3, 300 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.inflated(7, 400 * kKiB);
         },
         digest({7})},
        {"beside the room a filled one leaves free",
         lanes(1, 4),
         {job(7, 100 * kKiB), job(3, 300 * kKiB), job(5, 100 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.inflated(7, 100 * kKiB);
             w.begin();  // 3 into the shared room
             w.inflated(3, 300 * kKiB);
         },
         inflate(5, 1, 300 * kKiB)},
        {"the first own room freed again is taken",
         shape(2),
         {job(7, 100 * kKiB), job(3, 50 * kKiB), job(5, 10 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.failed(7, Schedule::Failure::forGood);
         },
         inflate(5, 0)},
        {"one inflate fewer: not into the shared room while another inflates",
         shape(2, 1 * kMiB, true),
         {job(7, 100 * kKiB), job(3, 50 * kKiB), job(5, 10 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.inflated(3, 50 * kKiB);
         },
         digest({3})},
        {"one inflate fewer: into an own room while the shared room holds nothing",
         shape(2, 1 * kMiB, true),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {},
         [](Worker& w) { w.begin(); },
         inflate(3, 1)},
        {"one inflate fewer, the shared room used: not even into a free own room",
         shape(2, 1 * kMiB, true),
         {job(7, 10 * kKiB), job(3, 5 * kKiB), job(5, 5 * kKiB), job(9, 5 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();  // 7: own room 0
             w.begin();  // 3: own room 1
             w.inflated(3, 5 * kKiB);
             w.inflated(7, 10 * kKiB);
             w.begin();  // 5: the shared room, which has now held data
             w.finish(3);
         },
         digest({7})},
        {"a job waits for its predecessor",
         shape(2),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {{3, 7}},
         [](Worker& w) { w.begin(); },
         wait()},
        {"a job begins once its predecessor is inflated",
         shape(2),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {{3, 7}},
         [](Worker& w) {
             w.begin();
             w.inflated(7, 100 * kKiB);
         },
         inflate(3, 1)},
        {"a job begins once its predecessor failed for good",
         shape(2),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {{3, 7}},
         [](Worker& w) {
             w.begin();
             w.failed(7, Schedule::Failure::forGood);
         },
         inflate(3, 0)},
        {"one that may not begin is passed over for the next",
         shape(3),
         {job(7, 100 * kKiB), job(3, 50 * kKiB), job(5, 10 * kKiB)},
         {{3, 7}},
         [](Worker& w) { w.begin(); },
         inflate(5, 1)},
        {"the one with the most left is digested, the other beside it",
         shape(2),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.inflated(7, 1 * kMiB);
             w.inflated(3, 2 * kMiB);
         },
         digest({3, 7})},
        {"with a worker waiting, the second is left to it",
         shape(2),
         {job(7, 100 * kKiB), job(3, 50 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.inflated(7, 1 * kMiB);
             w.inflated(3, 2 * kMiB);
             w.schedule.waitBegins();
         },
         digest({3})},
        {"a misfit is tried again first, only where it has four times the room it needed",
         shape(1, 64 * kKiB),
         {job(7, 1 * kKiB), job(3, 1 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();  // 7: own room 0
             w.inflated(7, 1 * kKiB);
             w.begin();  // 3: the whole shared room
             w.failed(3, Schedule::Failure::misfit);
         },
         digest({7})},
        {"a misfit goes to an own room once one is free",
         shape(1, 64 * kKiB),
         {job(7, 1 * kKiB), job(3, 1 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.inflated(7, 1 * kKiB);
             w.begin();
             w.failed(3, Schedule::Failure::misfit);
             w.finish(7);
         },
         inflate(3, 0)},
        {"short of memory: none begins while another inflates",
         shape(2),
         {job(7, 1 * kKiB), job(3, 1 * kKiB), job(5, 1 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.failed(3, Schedule::Failure::shortOfMemory);
         },
         wait()},
        {"short of memory: begun alone in the own room that keeps the most",
         shape(3),
         {job(7, 1 * kKiB), job(3, 1 * kKiB), job(5, 1 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.failed(3, Schedule::Failure::shortOfMemory);
             w.schedule.roomKeeps(2, 5000);
             w.failed(7, Schedule::Failure::forGood);
         },
         inflate(3, 2, 0, true)},
        {"and no other begins while it is inflated",
         shape(3),
         {job(7, 1 * kKiB), job(3, 1 * kKiB), job(5, 1 * kKiB)},
         {},
         [](Worker& w) {
             w.begin();
             w.begin();
             w.failed(3, Schedule::Failure::shortOfMemory);
             w.failed(7, Schedule::Failure::forGood);
             w.begin();
         },
         wait()},
        {"as many ready as there are lanes: all of them, the one with the most left first",
         lanes(1, 4),
         {job(1, kKiB), job(2, kKiB), job(3, kKiB), job(4, kKiB), job(5, kKiB)},
         {},
         [](Worker& w) {
             inflateEach(w, {{1, 100 * kKiB}, {2, 60 * kKiB}, {3, 50 * kKiB}});
             w.slots.at(2)->digested = 45 * kKiB;  // less left than the others
             inflateEach(w, {{4, 40 * kKiB}});
         },
         digest({1, 3, 4, 2})},
        {"as many ready as there are lanes: digested before more are inflated",
         lanes(1, 2),
         {job(7, 100 * kKiB), job(3, 300 * kKiB), job(5, 100 * kKiB)},
         {},
         [](Worker& w) {
             inflateEach(w, {{7, 100 * kKiB}, {3, 300 * kKiB}});
         },
         digest({3, 7})},
        {"many ready: a waiting worker is left its share",
         lanes(2, 8),
         {job(1, kKiB), job(2, kKiB), job(3, kKiB), job(4, kKiB), job(5, kKiB)},
         {},
         [](Worker& w) {
             inflateEach(w,
                         {{1, 3 * kKiB}, {2, 5 * kKiB}, {3, kKiB}, {4, 4 * kKiB}, {5, 2 * kKiB}});
             w.schedule.waitBegins();
         },
         digest({2, 4, 1})},
        {"within the budget, a second begins in an own room",
         budget(2, 0, 3 * kMiB),
         {job(1, kMiB / 2), job(2, kMiB / 4)},
         {},
         [](Worker& w) {
             inflateEach(w, {{1, 2 * kMiB}});
         },
         inflate(2, 1)},
        {"none begins where the budget has no room for it",
         budget(2, 0, 3 * kMiB),
         {job(1, kMiB / 2), job(2, kMiB / 4)},
         {},
         [](Worker& w) {
             inflateEach(w, {{1, 2 * kMiB + 1}});
         },
         digest({1})},
        {"what one took is the budget's again once it ends",
         budget(2, 0, 3 * kMiB),
         {job(1, kMiB / 2), job(2, kMiB / 4), job(3, kMiB / 4)},
         {},
         [](Worker& w) {
             inflateEach(w, {{1, 2 * kMiB}, {2, kMiB}});
             w.finish(1);
         },
         inflate(3, 0)},
        {"the shared room counts whole against the budget",
         budget(2, 2 * kMiB, 4 * kMiB),
         {job(1, kMiB), job(2, 2 * kMiB)},
         {},
         [](Worker& w) {
             inflateEach(w, {{1, kMiB + 1}});
         },
         digest({1})},
        {"one larger than the budget begins alone",
         budget(2, kMiB, 2 * kMiB),
         {job(1, 5 * kMiB), job(2, 5 * kMiB)},
         {},
         [](Worker& w) {
             inflateEach(w, {{1, 5 * kMiB}});
         },
         digest({1})},
        {"once the own rooms are empty again",
         budget(2, kMiB, 2 * kMiB),
         {job(1, 5 * kMiB), job(2, 5 * kMiB)},
         {},
         [](Worker& w) {
             inflateEach(w, {{1, 5 * kMiB}});
             w.finish(1);
         },
         inflate(2, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::int64_t> predecessors(16, -1);
        for (const auto& [entry, before] : c.predecessors) predecessors[entry] = before;
        Schedule schedule(c.jobs, predecessors, c.shape);
        Worker worker{schedule, {}};
        c.before(worker);
        if (testing::Test::HasFatalFailure()) continue;
        const Step step = schedule.next();
        ASSERT_EQ(step.kind, c.next.kind);
        if (step.kind == Step::Kind::inflate) {
            EXPECT_EQ(step.place.room, c.next.room);
            EXPECT_EQ(step.place.begin, c.next.begin);
            EXPECT_EQ(step.withAllMemory, c.next.withAllMemory);
            EXPECT_EQ(schedule.beginInflate(step).job.index, c.next.entry);
        } else if (step.kind == Step::Kind::digest) {
            std::vector<std::uint32_t> entries;
            for (const dz::Slot* slot : step.digests) entries.push_back(slot->job.index);
            EXPECT_EQ(entries, c.next.digests);
        }
    }
}

TEST(ProverScheduleTest, EachSubfileEndsOnce) {
    // Two workers' steps taken in turn by one thread: every job is inflated, digested and ended.
    Schedule schedule({job(7, 100), job(3, 50), job(5, 10)}, {}, shape(2, 1 * kMiB, true));
    int steps = 0;
    while (!schedule.done() && ++steps < 100) {
        const Step step = schedule.next();
        ASSERT_NE(step.kind, Step::Kind::wait);
        if (step.kind == Step::Kind::inflate) {
            dz::Slot& slot = schedule.beginInflate(step);
            schedule.inflated(slot, slot.job.packedSize * 3);
            continue;
        }
        for (dz::Slot* slot : schedule.beginDigest(step)) {
            slot->digested = slot->length;
            schedule.digestTurnOver(*slot);
            EXPECT_TRUE(slot->digesting) << "kept while its end is reported";
            schedule.ended(slot);
        }
    }
    EXPECT_TRUE(schedule.done());
    EXPECT_TRUE(schedule.arena().ownRoomsHoldNothing());
    EXPECT_TRUE(schedule.arena().holdsNothing(schedule.arena().sharedRoom()));
    EXPECT_EQ(schedule.next().kind, Step::Kind::wait);
}

}  // namespace
