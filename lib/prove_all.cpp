// Proving many entries at once: workers take the entries largest first, each proven whole in
// memory, and hand each proof to the caller one at a time. When only the proofs are wanted, the
// prover that kx test runs does the work: its workers keep their rooms and digest many entries
// at once, within the default memory budget.
#include <algorithm>
#include <atomic>
#include <vector>

#include "kestrix/kestrix.h"
#include "lib/state.h"
#include "platform/platform.h"

// Where the target has no threads, the calling thread proves every entry, with no lock.
#ifndef KESTRIX_NO_THREADS
#include <mutex>
#include <system_error>
#include <thread>

#include "dzlib/prover.h"
#endif

namespace kestrix {
namespace {

#ifndef KESTRIX_NO_THREADS
// The proofs of `indexes` by the prover on `jobs` workers; an entry whose survey found a fault
// keeps that fault.
std::vector<Proof> proveByProver(const Container& container,
                                 const std::vector<std::uint32_t>& indexes, unsigned jobs) {
    const dz::Survey& survey = LibraryAccess::state(container).survey;
    std::vector<Proof> byEntry(container.entries().size());
    std::vector<bool> asked(byEntry.size());
    std::vector<std::uint32_t> passed;  // each entry once, though asked for more than once
    for (std::uint32_t index : indexes) {
        const dz::Fault fault = survey.plan.entries[index].fault;
        byEntry[index] = {reasonOf(fault), 0};
        if (fault == dz::Fault::none && !asked[index]) passed.push_back(index);
        asked[index] = true;
    }
    const std::vector<std::uint32_t> order = dz::largestFirst(survey, passed);
    dz::ProverCalls calls;
    calls.proven = [&](std::uint32_t index, const dz::Proof& proof, const std::uint8_t*) {
        byEntry[index] = {reasonOf(proof.fault), proof.fault == dz::Fault::none ? proof.length : 0};
    };
    dz::proveEntries(survey, order, /*predecessors=*/{}, jobs,
                     dz::sharedRoomFor(survey, order, jobs,
                                       platform::defaultMemoryBudget(platform::memoryLimit())),
                     calls);
    std::vector<Proof> proofs;
    for (std::uint32_t index : indexes) proofs.push_back(byEntry[index]);
    return proofs;
}
#endif

}  // namespace

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
    if (jobs == 0) jobs = platform::processorCount();
#ifndef KESTRIX_NO_THREADS
    if (!each && pastEnd == PastEnd::zeros) return proveByProver(container, indexes, jobs);
#endif

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

    jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, order.size()));
    {
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
    }  // every worker has ended here, before the proofs are handed over (a return moves them)
    return proofs;
}

}  // namespace kestrix
