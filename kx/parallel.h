// Work on several threads with results in a fixed order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace kx {

// Calls job(i, worker) for every i from 0 to count - 1 on `workers` threads (worker is the
// thread's number); the jobs start in the order of i. Returns when all have ended.
void runInParallel(std::size_t count, unsigned workers,
                   const std::function<void(std::size_t, unsigned)>& job);

// Runs actions in a fixed order as soon as each and all those before it are ready, one at a
// time, on a thread that made one of them ready; used to print or write results in table order
// while work goes on. A thread that finds another running them leaves its action to that one.
class InOrder {
  public:
    explicit InOrder(std::size_t count) : ready_(count) {}
    void ready(std::size_t position, std::function<void()> action);

  private:
    std::mutex mutex_;
    std::vector<std::function<void()>> ready_;
    std::size_t next_ = 0;
    bool running_ = false;
};

// Rooms (numbered 0 to count - 1) lent in a fixed order: take(k) returns a free room once takes
// 0 to k - 1 have got theirs. A job that holds its room until the results before it are written
// can then never wait for a room that only a later job holds.
class Rooms {
  public:
    explicit Rooms(std::size_t count);
    std::size_t take(std::size_t turn);
    void give(std::size_t room);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::size_t> free_;
    std::size_t next_ = 0;
};

}  // namespace kx
