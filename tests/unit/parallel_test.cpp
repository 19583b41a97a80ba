// Jobs on several workers, each holding a lent room until the results before it are written.
#include "kx/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(ParallelTest, RoomsAreLentOnceAndResultsWrittenInOrder) {
    struct Case {
        std::size_t jobs;
        unsigned workers;
        std::size_t rooms;
    };
    for (const Case c : {Case{300, 4, 5}, Case{300, 3, 3}, Case{50, 2, 1}, Case{1, 4, 5}}) {
        SCOPED_TRACE(testing::Message()
                     << c.jobs << " jobs, " << c.workers << " workers, " << c.rooms << " rooms");
        kx::Rooms rooms(c.rooms);
        kx::InOrder writer(c.jobs);
        std::vector<std::atomic<bool>> inUse(c.rooms);
        std::atomic<int> sharedRooms{0};
        std::vector<std::size_t> written;
        kx::runInParallel(c.jobs, c.workers, [&](std::size_t i, unsigned) {
            const std::size_t room = rooms.take(i);
            if (room >= c.rooms || inUse[room].exchange(true)) ++sharedRooms;
            // Later jobs often end first, so the writer falls behind and rooms run out.
            if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
            writer.ready(i, [&, i, room] {
                written.push_back(i);
                if (room < c.rooms) inUse[room] = false;
                rooms.give(room);
            });
        });
        EXPECT_EQ(sharedRooms, 0);
        ASSERT_EQ(written.size(), c.jobs);
        for (std::size_t i = 0; i < c.jobs; ++i) ASSERT_EQ(written[i], i);
    }
}

}  // namespace
