// The registry of temporary files, shared by both systems.
#include "platform/temporaries.h"

#include <atomic>
#include <cstring>

namespace platform {
namespace {

// Enough for every output of the largest table at once, with room to spare.
constexpr int kSlots = 512;
// A whole path on Windows, a name elsewhere.
constexpr std::size_t kNameSize = 300;

enum SlotState : int { kFree, kClaimed, kLive };

struct Slot {
    std::atomic<int> state{kFree};
    std::intptr_t folder = 0;
    char name[kNameSize] = {};
};

static_assert(std::atomic<int>::is_always_lock_free, "the slots are read in a signal handler");

Slot slots[kSlots];

}  // namespace

bool registerTemporary(std::intptr_t folder, const char* name) {
    if (std::strlen(name) >= kNameSize) return false;
    for (Slot& slot : slots) {
        int expected = kFree;
        if (!slot.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire)) {
            continue;
        }
        slot.folder = folder;
        std::strcpy(slot.name, name);
        slot.state.store(kLive, std::memory_order_release);
        return true;
    }
    return false;
}

void forgetTemporary(std::intptr_t folder, const char* name) {
    for (Slot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) == kLive && slot.folder == folder &&
            std::strcmp(slot.name, name) == 0) {
            slot.state.store(kFree, std::memory_order_release);
            return;
        }
    }
}

void removeAllTemporaries(void (*remove)(std::intptr_t folder, const char* name)) {
    for (Slot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) == kLive) remove(slot.folder, slot.name);
    }
}

}  // namespace platform
