// Slices written as they come, or held back while another thread writes into the file.
#include "kx/deferred_writes.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Holds a lock on another thread while it lives, as the writer of another piece does.
class HeldElsewhere {
  public:
    explicit HeldElsewhere(std::mutex& file) {
        std::promise<void> held;
        std::future<void> isHeld = held.get_future();
        thread_ = std::thread([&file, &held, released = released_.get_future()] {
            const std::lock_guard<std::mutex> lock(file);
            held.set_value();
            released.wait();
        });
        isHeld.wait();
    }
    ~HeldElsewhere() {
        released_.set_value();
        thread_.join();
    }

  private:
    std::promise<void> released_;
    std::thread thread_;
};

TEST(DeferredWritesTest, SlicesWaitWhileTheFileIsBusyAndGoOutInOneRun) {
    using Write = std::tuple<std::uint64_t, std::size_t, std::size_t>;  // at, from, length
    struct Case {
        const char* name;
        std::vector<bool> busy;  // for each 10-byte slice, whether the file is held elsewhere
        std::vector<Write> atSlices;
        std::vector<Write> atEnd;
        bool fails = false;  // writes fail
    };
    const Case cases[] = {
        {"free", {false, false, false}, {{0, 0, 10}, {10, 10, 10}, {20, 20, 10}}, {}},
        {"busy", {true, true, true}, {}, {{0, 0, 30}}},
        {"busy, then free", {true, true, false}, {{0, 0, 30}}, {}},
        {"free, then busy", {false, true, true}, {{0, 0, 10}}, {{10, 10, 20}}},
        {"busy between", {false, true, false}, {{0, 0, 10}, {10, 10, 20}}, {}},
        {"failing", {true, false}, {{0, 0, 20}}, {}, true},
    };
    std::uint8_t bytes[30] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex file;
        kx::DeferredWrites writes(3);
        std::vector<Write> written;
        const auto write = [&](std::uint64_t at, const std::uint8_t* from, std::size_t length) {
            written.emplace_back(at, static_cast<std::size_t>(from - bytes), length);
            return !c.fails;
        };
        bool good = true;
        for (std::size_t slice = 0; slice < c.busy.size(); ++slice) {
            std::optional<HeldElsewhere> held;
            if (c.busy[slice]) held.emplace(file);
            good = writes.add(file, 2, slice * 10, bytes + slice * 10, 10, write) && good;
        }
        EXPECT_EQ(written, c.atSlices);
        EXPECT_EQ(good, !c.fails);
        written.clear();
        EXPECT_TRUE(writes.finish(file, 2, write));
        EXPECT_EQ(written, c.atEnd);
    }
}

}  // namespace
