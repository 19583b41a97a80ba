// What rooms of memory do the same on every system: commits counted against a bound, a page at a
// time. The system's part (reserving, committing and giving back pages) is in posix.cpp and
// windows.cpp.
#include <algorithm>

#include "platform/platform.h"

namespace platform {
namespace {

std::size_t pagesUp(std::size_t bytes, std::size_t ceiling) {
    if (bytes >= ceiling - ceiling % kMemoryPage) return ceiling;
    return (bytes + kMemoryPage - 1) / kMemoryPage * kMemoryPage;
}

}  // namespace

Memory Memory::reserveUpTo(std::size_t limit, std::size_t least, MemoryBound* bound) {
    for (std::size_t size = limit;; size /= 2) {
        Memory memory = reserve(size, bound);
        if (memory.bytes() != nullptr || size / 2 < least || size / 2 == 0) return memory;
    }
}

bool Memory::commit(std::size_t size) {
    if (size <= committed_) return true;
    if (bytes_ == nullptr || size > size_) return false;
    const std::size_t to = pagesUp(size, size_);
    const std::size_t more = to - committed_;
    if (bound_ != nullptr && !bound_->take(more)) return false;
    if (!commitPages(committed_, to)) {
        if (bound_ != nullptr) bound_->give(more);
        return false;
    }
    committed_ = to;
    return true;
}

std::size_t Memory::commitWhatFits(std::size_t size) {
    size = std::min(size, size_);
    // Another thread may take what seemed free meanwhile: then less is tried, until nothing is.
    // A size the system refuses though the bound has room for it is not tried again.
    while (size > committed_ && !commit(size)) {
        if (bound_ == nullptr) break;
        const std::uint64_t free = bound_->limit() - std::min(bound_->limit(), bound_->taken());
        const std::uint64_t fits = std::min<std::uint64_t>(free, size - committed_);
        const std::size_t less =
            committed_ + static_cast<std::size_t>(fits / kMemoryPage * kMemoryPage);
        if (less >= size) break;
        size = less;
    }
    return committed_;
}

void Memory::trim(std::size_t keep) {
    const std::size_t from = pagesUp(keep, size_);
    if (bytes_ == nullptr || from >= committed_) return;
    decommitPages(from, committed_);
    if (bound_ != nullptr) bound_->give(committed_ - from);
    committed_ = from;
}

std::uint64_t defaultMemoryBound(std::uint64_t limit) {
    if (limit == UINT64_MAX) return limit;
    const std::uint64_t headroom = std::max<std::uint64_t>(limit / 8, std::uint64_t{64} << 20);
    return limit > 2 * headroom ? limit - headroom : limit / 2;
}

std::uint64_t defaultMemoryBudget(std::uint64_t limit) {
    constexpr std::uint64_t kMost = std::uint64_t{2} << 30;
    return std::min(limit / 4, kMost);
}

}  // namespace platform
