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

// Turns taken in a fixed order by whichever threads hold them: await(k) returns once turns 0 to
// k - 1 are done. Every turn must be done, in the end, for the later ones to go on.
class Turns {
  public:
    void await(std::size_t turn);
    void done(std::size_t turn);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;
};

// Runs actions in a fixed order as soon as each and all those before it are ready, on whichever
// thread made the last of them ready; used to print results in table order while work goes on.
class InOrder {
  public:
    explicit InOrder(std::size_t count) : ready_(count) {}
    void ready(std::size_t position, std::function<void()> action);

  private:
    std::mutex mutex_;
    std::vector<std::function<void()>> ready_;
    std::size_t next_ = 0;
};

}  // namespace kx
