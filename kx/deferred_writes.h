// Writing pieces into their output's file a slice at a time as they are digested. The system
// lets one write into a file at a time, so a thread that finds the file busy with another piece
// leaves its slices for later (they stay where they are until the piece ends) and goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kx {

class DeferredWrites {
  public:
    // For pieces numbered below `pieces`; each is handed on by one thread at a time.
    explicit DeferredWrites(std::size_t pieces) : waiting_(pieces) {}

    // The next slice of piece `index`, which follows the one before it in memory: it is written,
    // with those that wait, unless `file` is held by another thread. `write(at, bytes, length)`
    // writes at `at` in the piece and says whether that succeeded; false when it failed.
    template <typename Write>
    bool add(std::mutex& file, std::uint32_t index, std::uint64_t at, const std::uint8_t* bytes,
             std::size_t length, const Write& write) {
        Run& run = waiting_[index];
        if (run.length == 0) run = {at, bytes, 0};
        run.length += length;
        const std::unique_lock<std::mutex> lock(file, std::try_to_lock);
        return !lock.owns_lock() || writeWaiting(index, write);
    }

    // At the piece's end: writes what of it waits, once the file is free.
    template <typename Write>
    bool finish(std::mutex& file, std::uint32_t index, const Write& write) {
        const std::lock_guard<std::mutex> lock(file);
        return writeWaiting(index, write);
    }

  private:
    struct Run {
        std::uint64_t at = 0;
        const std::uint8_t* bytes = nullptr;
        std::size_t length = 0;
    };

    template <typename Write>
    bool writeWaiting(std::uint32_t index, const Write& write) {
        const Run run = waiting_[index];
        waiting_[index].length = 0;
        return run.length == 0 || write(run.at, run.bytes, run.length);
    }

    std::vector<Run> waiting_;
};

}  // namespace kx
