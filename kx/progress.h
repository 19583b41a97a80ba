// The progress line on a terminal: bytes done of the total, the rate, and the sub-file in hand,
// redrawn a few times a second on standard error and removed when the work ends.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kx {

class Progress {
  public:
    // Shows nothing unless `shown`; `total` bytes make the whole.
    Progress(bool shown, std::uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // The sub-file now in hand, and bytes done.
    void working(const std::string& name);
    void add(std::uint64_t bytes) { done_ += bytes; }

  private:
    void draw(bool last);

    const bool shown_;
    const std::uint64_t total_;
    std::atomic<std::uint64_t> done_{0};
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::string name_;
    std::size_t drawnWidth_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::thread thread_;
};

}  // namespace kx
