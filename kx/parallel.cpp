// Threads, ordered results and rooms lent in order.
#include "kx/parallel.h"

#include <atomic>
#include <thread>

namespace kx {

void runInParallel(std::size_t count, unsigned workers,
                   const std::function<void(std::size_t, unsigned)>& job) {
    std::atomic<std::size_t> next{0};
    const auto work = [&](unsigned worker) {
        for (std::size_t i = next++; i < count; i = next++) job(i, worker);
    };
    if (workers <= 1 || count <= 1) {
        work(0);
        return;
    }
    std::vector<std::jthread> threads;  // joined as they go
    for (unsigned worker = 1; worker < workers && worker < count; ++worker) {
        threads.emplace_back(work, worker);
    }
    work(0);
}

void InOrder::ready(std::size_t position, std::function<void()> action) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_[position] = std::move(action);
    if (running_) return;
    running_ = true;
    while (next_ < ready_.size() && ready_[next_]) {
        const std::function<void()> run = std::move(ready_[next_]);
        ready_[next_] = nullptr;
        ++next_;
        lock.unlock();
        run();
        lock.lock();
    }
    running_ = false;
}

Rooms::Rooms(std::size_t count) {
    for (std::size_t room = count; room-- > 0;) free_.push_back(room);
}

std::size_t Rooms::take(std::size_t turn) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return next_ >= turn && !free_.empty(); });
    const std::size_t room = free_.back();
    free_.pop_back();
    if (turn + 1 > next_) next_ = turn + 1;
    lock.unlock();
    changed_.notify_all();
    return room;
}

void Rooms::give(std::size_t room) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(room);
    }
    changed_.notify_all();
}

}  // namespace kx
