// The progress line on a terminal: the bytes done (unpacked bytes for kx test and extract, the
// pieces' bytes for kx pack), the share of the work done, the rate, the time left once it can be
// told, and the sub-file in hand; redrawn a few times a second on standard error and taken away
// when the work ends.
//
// The work is counted entry by entry, each with its weight (its packed size, say): an entry's
// bytes are counted a slice at a time as they are done, each slice standing for its share of the
// entry's weight, and what is left of the weight when the entry ends (a failed one, say).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kx {

// The part of `weight` that the first `upTo` of `length` bytes stand for: all of it once they
// are all done (or when there are none), never more.
std::uint64_t shareOf(std::uint64_t weight, std::uint64_t upTo, std::uint64_t length);

// "0:07", "12:34", "1:02:03": a time left.
std::string clockText(double seconds);

class Progress {
  public:
    // Shows nothing unless `shown`; entry i weighs weights[i] of the whole.
    Progress(bool shown, std::vector<std::uint64_t> weights);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Entry `index` is in hand, under `name`. The line names the entry in hand the longest
    // (and is drawn again at once when that changes).
    void working(std::uint32_t index, const std::string& name);
    // Entry `index` has `length` bytes in all.
    void sized(std::uint32_t index, std::uint64_t length);
    // Its `bytes` bytes from `at` are done. Calls for one entry come one after another.
    void done(std::uint32_t index, std::uint64_t at, std::uint64_t bytes);
    // It is ended, well or not: the rest of its weight is counted.
    void ended(std::uint32_t index);

  private:
    void draw(bool last);
    // Called with the mutex held: names the entry in hand the longest, drawn again when new.
    void nameFirstInHand();

    const bool shown_;
    std::vector<std::uint64_t> weights_;
    std::vector<std::uint64_t> lengths_;   // by entry, as sized
    std::vector<std::uint64_t> credited_;  // by entry: the weight counted so far
    std::uint64_t total_ = 0;
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> weightDone_{0};
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::map<std::uint64_t, std::string> inHand_;  // by the order they were begun in
    std::vector<std::uint64_t> begunAs_;           // by entry: its key in inHand_, or 0
    std::uint64_t begun_ = 0;
    std::string name_;
    std::chrono::steady_clock::time_point start_;
    std::jthread thread_;  // last: joined before the rest goes
};

}  // namespace kx
