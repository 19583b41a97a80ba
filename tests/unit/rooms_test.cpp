// The prover's room arena, without threads: sequences of places taken, filled and released, and
// where each lands; a full arena; released places that merge into one gap; and sizes at their
// exact boundaries.
#include "dzlib/rooms.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kPage = dz::kRoomAlignment;
constexpr std::size_t kOwnSize = 1u << 30;

struct Landing {
    std::size_t room;
    std::size_t begin;
    std::size_t capacity;
};

// One step of a sequence: take an own room or a place in the shared room (where it should land,
// or nowhere), fill a place taken before to a length, or release it.
struct Op {
    enum class Kind { own, shared, fill, release };
    Kind kind;
    std::size_t amount;  // shared: the least room; fill: the length
    std::size_t of;      // fill, release: the step that took the place
    std::optional<Landing> lands;
};

Op own(std::optional<Landing> lands) {
    return {Op::Kind::own, 0, 0, lands};
}
Op shared(std::size_t least, std::optional<Landing> lands) {
    return {Op::Kind::shared, least, 0, lands};
}
Op fill(std::size_t of, std::size_t length) {
    return {Op::Kind::fill, length, of, std::nullopt};
}
Op release(std::size_t of) {
    return {Op::Kind::release, 0, of, std::nullopt};
}

struct Case {
    std::string what;
    std::size_t ownRooms;
    std::size_t sharedSize;
    std::vector<Op> ops;
};

TEST(RoomsTest, PlacesLandWhereTheyShould) {
    const auto nowhere = std::nullopt;
    const std::vector<Case> cases = {
        {"own rooms in order, none when all are taken, a released one again",
         2,
         0,
         {own(Landing{0, 0, kOwnSize}), own(Landing{1, 0, kOwnSize}), own(nowhere), release(0),
          own(Landing{0, 0, kOwnSize})}},
        {"no shared room: nothing lands there", 2, 0, {shared(0, nowhere), shared(1, nowhere)}},
        {"the first takes the whole shared room, which is then full",
         1,
         16 * kPage,
         {shared(1, Landing{1, 0, 16 * kPage}), shared(1, nowhere), shared(0, nowhere)}},
        {"own rooms and the shared room are apart",
         1,
         4 * kPage,
         {own(Landing{0, 0, kOwnSize}), shared(1, Landing{1, 0, 4 * kPage}), own(nowhere),
          release(0), own(Landing{0, 0, kOwnSize})}},
        {"a filled place frees the rest of its stretch from the next page on",
         1,
         16 * kPage,
         {shared(1, Landing{1, 0, 16 * kPage}), fill(0, 5000),
          shared(1, Landing{1, 2 * kPage, 14 * kPage})}},
        {"filled to a whole page, the next begins at once after it",
         1,
         16 * kPage,
         {shared(1, Landing{1, 0, 16 * kPage}), fill(0, kPage),
          shared(1, Landing{1, kPage, 15 * kPage})}},
        {"filled one byte past a page, the next begins a page later",
         1,
         16 * kPage,
         {shared(1, Landing{1, 0, 16 * kPage}), fill(0, kPage + 1),
          shared(1, Landing{1, 2 * kPage, 14 * kPage})}},
        {"an empty sub-file takes no room",
         1,
         4 * kPage,
         {shared(1, Landing{1, 0, 4 * kPage}), fill(0, 0), shared(1, Landing{1, 0, 4 * kPage})}},
        {"a gap of exactly the least room takes it; one byte more does not",
         1,
         4 * kPage,
         {shared(4 * kPage + 1, nowhere), shared(4 * kPage, Landing{1, 0, 4 * kPage}),
          fill(1, kPage), shared(3 * kPage + 1, nowhere),
          shared(3 * kPage, Landing{1, kPage, 3 * kPage})}},
        {"a shared room of a size that is no whole number of pages ends where it ends",
         1,
         10000,
         {shared(1, Landing{1, 0, 10000}), fill(0, 100),
          shared(10000 - kPage, Landing{1, kPage, 10000 - kPage}), fill(2, 100),
          shared(1, Landing{1, 2 * kPage, 10000 - 2 * kPage})}},
        {"released places next to each other merge into one gap",
         1,
         16 * kPage,
         {shared(1, Landing{1, 0, 16 * kPage}), fill(0, 4 * kPage),
          shared(1, Landing{1, 4 * kPage, 12 * kPage}), fill(2, 4 * kPage),
          shared(1, Landing{1, 8 * kPage, 8 * kPage}),  // the rest, all of it taken
          shared(1, nowhere), release(0), shared(4 * kPage + 1, nowhere), release(2),
          shared(8 * kPage, Landing{1, 0, 8 * kPage})}},
        {"the largest gap wins; of two as large, the first",
         1,
         8 * kPage,
         {shared(1, Landing{1, 0, 8 * kPage}), fill(0, kPage),              // 0: [0, 1)
          shared(1, Landing{1, kPage, 7 * kPage}), fill(2, kPage),          // 2: [1, 2)
          shared(1, Landing{1, 2 * kPage, 6 * kPage}), fill(4, kPage),      // 4: [2, 3)
          shared(1, Landing{1, 3 * kPage, 5 * kPage}), fill(6, kPage),      // 6: [3, 4)
          shared(1, Landing{1, 4 * kPage, 4 * kPage}), fill(8, 2 * kPage),  // 8: [4, 6)
          shared(1, Landing{1, 6 * kPage, 2 * kPage}),                      // 10: [6, 8)
          release(2), release(6), shared(1, Landing{1, kPage, kPage}),      // [1, 2) before [3, 4)
          release(10), shared(1, Landing{1, 6 * kPage, 2 * kPage})}},       // [6, 8) is larger
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dz::RoomArena arena(c.ownRooms, kOwnSize, c.sharedSize);
        std::vector<std::size_t> taken(c.ops.size(), 0);
        for (std::size_t i = 0; i < c.ops.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Op& op = c.ops[i];
            std::optional<dz::Place> place;
            switch (op.kind) {
                case Op::Kind::own:
                    place = arena.freeOwnRoom();
                    break;
                case Op::Kind::shared:
                    place = arena.sharedGap(op.amount);
                    break;
                case Op::Kind::fill:
                    arena.fill(taken[op.of], op.amount);
                    continue;
                case Op::Kind::release:
                    arena.release(taken[op.of]);
                    continue;
            }
            ASSERT_EQ(place.has_value(), op.lands.has_value());
            if (!place) continue;
            EXPECT_EQ(place->room, op.lands->room);
            EXPECT_EQ(place->begin, op.lands->begin);
            EXPECT_EQ(place->capacity, op.lands->capacity);
            EXPECT_EQ(place->own, op.kind == Op::Kind::own);
            taken[i] = arena.take(*place);
            EXPECT_FALSE(arena.holdsNothing(place->room));
        }
    }
}

TEST(RoomsTest, RoomsThatHoldNothing) {
    dz::RoomArena arena(2, kOwnSize, 4 * kPage);
    EXPECT_TRUE(arena.ownRoomsHoldNothing());
    const std::size_t inShared = arena.take(*arena.sharedGap());
    EXPECT_TRUE(arena.ownRoomsHoldNothing()) << "the shared room is no own room";
    EXPECT_FALSE(arena.holdsNothing(arena.sharedRoom()));
    const std::size_t inOwn = arena.take(arena.ownRoom(1));
    EXPECT_FALSE(arena.ownRoomsHoldNothing());
    EXPECT_TRUE(arena.holdsNothing(0));
    EXPECT_FALSE(arena.holdsNothing(1));
    EXPECT_EQ(arena.freeOwnRoom()->room, 0u);
    arena.release(inOwn);
    arena.release(inShared);
    EXPECT_TRUE(arena.ownRoomsHoldNothing());
    EXPECT_TRUE(arena.holdsNothing(arena.sharedRoom()));
    EXPECT_EQ(arena.largestGap(), std::make_pair(std::size_t{0}, 4 * kPage));
}

TEST(RoomsTest, TheFirstStretchLargeEnough) {
    // The shared room holds sub-files at pages 2 and 5-6 of 10: free are 0-1, 3-4 and 7-9.
    dz::RoomArena arena(1, kOwnSize, 10 * kPage);
    for (const auto& [begin, length] : {std::pair{2 * kPage, kPage}, {5 * kPage, 2 * kPage}})
        arena.take({arena.sharedRoom(), begin, length, false});
    struct Case {
        std::size_t least;
        std::optional<std::size_t> begin;  // none: no stretch has that many bytes
        std::size_t capacity;
    };
    const Case cases[] = {
        {0, 0, 2 * kPage},
        {2 * kPage, 0, 2 * kPage},
        {2 * kPage + 1, 7 * kPage, 3 * kPage},
        {3 * kPage, 7 * kPage, 3 * kPage},
        {3 * kPage + 1, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        const std::optional<dz::Place> place = arena.firstGap(c.least);
        ASSERT_EQ(place.has_value(), c.begin.has_value()) << c.least;
        if (!place) continue;
        EXPECT_EQ(place->begin, *c.begin) << c.least;
        EXPECT_EQ(place->capacity, c.capacity) << c.least;
    }
    EXPECT_FALSE(dz::RoomArena(1, kOwnSize, 0).firstGap(0)) << "no shared room";
}

}  // namespace
