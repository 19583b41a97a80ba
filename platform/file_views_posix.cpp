// Files read in place on POSIX systems: File::view maps the bytes read-only. When another program
// shortens the file, reading a mapped page past its new end raises SIGBUS; the handler puts a
// page of zeros there, so that the read goes on and finds zeros, as reading past the end does.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/file_views.h"
#include "platform/platform.h"

namespace platform {
namespace {

// The views the handler knows, in fixed slots (no locks, no allocation): the first and one past
// the last address of each mapping, 0 for a free slot. A view that finds no free slot is not
// made; its caller reads the bytes instead.
constexpr int kViewSlots = 256;
std::atomic<std::uintptr_t> viewBegin[kViewSlots];
std::atomic<std::uintptr_t> viewEnd[kViewSlots];
std::uintptr_t pageSize = 4096;
// Views are made only once the handler is in place (prepareProcess, prepareViews): before, a
// shortened file would end the process.
std::atomic<bool> handlingBusErrors{false};

int registerView(std::uintptr_t begin, std::uintptr_t end) {
    for (int slot = 0; slot < kViewSlots; ++slot) {
        std::uintptr_t expected = 0;
        if (viewBegin[slot].compare_exchange_strong(expected, begin)) {
            viewEnd[slot].store(end);
            return slot;
        }
    }
    return -1;
}

bool inView(std::uintptr_t address) {
    for (int slot = 0; slot < kViewSlots; ++slot) {
        const std::uintptr_t begin = viewBegin[slot].load();
        if (begin != 0 && begin <= address && address < viewEnd[slot].load()) return true;
    }
    return false;
}

// What a bus error outside the views does: the program's interrupt handler (temporaries go, then
// the process ends by the signal), or, in a process the program does not own, whatever handled
// bus errors before.
void (*otherBusError)(int) = nullptr;
struct sigaction earlierBusAction {};

// A bus error outside the views handed to the handler the process had before ours.
void passOn(int signalNumber, siginfo_t* info, void* context) {
    if ((earlierBusAction.sa_flags & SA_SIGINFO) != 0 && earlierBusAction.sa_sigaction != nullptr) {
        earlierBusAction.sa_sigaction(signalNumber, info, context);
        return;
    }
    if (earlierBusAction.sa_handler != SIG_DFL && earlierBusAction.sa_handler != SIG_IGN) {
        earlierBusAction.sa_handler(signalNumber);
        return;
    }
    // The system's own action: a fault made again on return ends the process so; a signal sent
    // by another is sent again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signalNumber, &fallback, nullptr);
    if (info->si_code <= 0) ::raise(signalNumber);
}

void onBusError(int signalNumber, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    // si_code > 0: a fault of this process, not a signal sent by another.
    if (info->si_code > 0 && inView(address)) {
        void* page = reinterpret_cast<void*>(address & ~(pageSize - 1));
        const int flags = MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS;
        if (::mmap(page, pageSize, PROT_READ, flags, -1, 0) != MAP_FAILED) {
            errno = savedErrno;
            return;  // the read is made again, and finds zeros
        }
    }
    errno = savedErrno;
    if (otherBusError != nullptr) {
        otherBusError(signalNumber);
    } else {
        passOn(signalNumber, info, context);
    }
}

bool installBusErrorHandler(struct sigaction* earlier) {
    pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, earlier) == 0;
}

}  // namespace

void handleBusErrorsInViews(void (*otherwise)(int)) {
    otherBusError = otherwise;
    handlingBusErrors = installBusErrorHandler(nullptr);
}

void prepareViews() {
#ifndef __EMSCRIPTEN__  // where mmap copies the whole file into memory, bytes are read instead
    static const bool installed = handlingBusErrors || installBusErrorHandler(&earlierBusAction);
    handlingBusErrors = installed;
#endif
}

FileView File::view(std::uint64_t position, std::size_t length) const {
    FileView view;
    const std::uint64_t start = position & ~static_cast<std::uint64_t>(pageSize - 1);
    const std::size_t lead = static_cast<std::size_t>(position - start);
    if (!handlingBusErrors || handle_ == kClosed || length == 0 || length > SIZE_MAX - lead ||
        start > static_cast<std::uint64_t>(INT64_MAX)) {
        return view;
    }
    void* mapping = ::mmap(nullptr, lead + length, PROT_READ, MAP_SHARED, static_cast<int>(handle_),
                           static_cast<off_t>(start));
    if (mapping == MAP_FAILED) return view;
    const auto begin = reinterpret_cast<std::uintptr_t>(mapping);
    view.mapping_ = mapping;
    view.mappedLength_ = lead + length;
    view.slot_ = registerView(begin, begin + lead + length);
    if (view.slot_ < 0) {
        view.release();
        return view;
    }
    view.bytes_ = static_cast<const std::uint8_t*>(mapping) + lead;
    return view;
}

void FileView::letGoBefore(std::size_t upTo) {
    if (mapping_ == nullptr) return;
    const auto lead = static_cast<std::size_t>(bytes_ - static_cast<std::uint8_t*>(mapping_));
    // Whole pages only, but the last one once the view's end is reached.
    const std::size_t end = lead + upTo >= mappedLength_
                                ? mappedLength_
                                : (lead + upTo) & ~static_cast<std::size_t>(pageSize - 1);
    if (end <= letGo_) return;
#ifdef MADV_DONTNEED  // Linux's and the BSDs' madvise; POSIX's posix_madvise only advises
    ::madvise(static_cast<std::uint8_t*>(mapping_) + letGo_, end - letGo_, MADV_DONTNEED);
#endif
    letGo_ = end;
}

void FileView::release() {
    if (mapping_ == nullptr) return;
    if (slot_ >= 0) {
        viewEnd[slot_].store(0);
        viewBegin[slot_].store(0);
    }
    ::munmap(mapping_, mappedLength_);
    mapping_ = nullptr;
    mappedLength_ = 0;
    letGo_ = 0;
    bytes_ = nullptr;
    slot_ = -1;
}

}  // namespace platform
