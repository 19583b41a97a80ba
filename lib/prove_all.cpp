// Proving many entries at once: workers take the entries largest first, each proven whole in
// memory, and hand each proof to the caller one at a time.
#include <algorithm>
#include <atomic>
#include <vector>

#include "kestrix/kestrix.h"
#include "platform/platform.h"

// Where the target has no threads, the calling thread proves every entry, with no lock.
#ifndef KESTRIX_NO_THREADS
#include <mutex>
#include <system_error>
#include <thread>
#endif

namespace kestrix {

std::vector<Proof> proveAll(
    const Container& container, const std::vector<std::uint32_t>& indexes, unsigned jobs,
    const std::function<void(std::size_t position, const Proof& proof, Content& content)>& each,
    PastEnd pastEnd) {
    const std::vector<Entry>& entries = container.entries();
    for (std::uint32_t index : indexes) {
        if (index >= entries.size()) {
            throw std::out_of_range("no entry " + std::to_string(index) + " in the container");
        }
    }
    // Positions in `indexes`, the largest packed data first, so that the workers end together.
    std::vector<std::size_t> order(indexes.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return entries[indexes[a]].packedSize > entries[indexes[b]].packedSize;
    });

    std::vector<Proof> proofs(indexes.size());
    std::atomic<std::size_t> next{0};
#ifndef KESTRIX_NO_THREADS
    std::mutex calling;
#endif
    auto work = [&] {
        Content content;  // each worker's rooms, kept from one entry to the next
        for (std::size_t taken; (taken = next.fetch_add(1)) < order.size();) {
            const std::size_t position = order[taken];
            proofs[position] = container.unpack(indexes[position], content, pastEnd);
            if (each) {
#ifndef KESTRIX_NO_THREADS
                std::lock_guard<std::mutex> held(calling);
#endif
                each(position, proofs[position], content);
            }
        }
    };

    if (jobs == 0) jobs = platform::processorCount();
    jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, order.size()));
#ifndef KESTRIX_NO_THREADS
    std::vector<std::jthread> workers;
    for (unsigned i = 1; i < jobs; ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no threads here, or no more: the workers begun and this one do it all
        }
    }
#endif
    work();
    return proofs;
}

}  // namespace kestrix
