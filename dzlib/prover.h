// Unpacking and proving many sub-files on several threads. A thread inflates a sub-file into a
// free room when it can, and otherwise digests what waits in the rooms: up to as many sub-files
// at once as the processor's MD5 has lanes for (digest/md5_lanes.h), which takes little more
// time than one. A memory budget lets enough of them wait for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "dzlib/fault.h"
#include "dzlib/survey.h"
#include "platform/platform.h"

namespace dz {

// What became of one sub-file: Fault::none and its unpacked length, or what failed (packedMemory,
// unpackedMemory, read, unpack or contentDigest).
struct Proof {
    dz::Fault fault = dz::Fault::none;
    std::uint64_t length = 0;
};

// The entries in the order they should be unpacked so that several workers finish together:
// the largest packed data first.
std::vector<std::uint32_t> largestFirst(const dz::Survey& survey,
                                        const std::vector<std::uint32_t>& entries);

// The memory beyond one room per worker: the shared room, whether, once it holds data, one
// thread fewer may inflate at a time (so that the packed data of those that do and the room
// together take no more than the workers' shares), and the budget.
struct SharedRoom {
    std::size_t size = 0;  // 0: none
    bool oneInflateFewer = false;
    // The most the shared room and the sub-files in the workers' rooms may take together (0: no
    // budget). A sub-file is begun beyond it only alone in the workers' rooms.
    std::size_t budget = 0;
};

// The shared room for `workers` threads over the entries in `order` within `budget` bytes (0:
// none): half the budget, where that is more than what it would be without one. Without, the
// memory stays within workers x (largest packed + largest unpacked sub-file) + 64 MiB: 40 MiB
// for one worker; for more, the largest packed sub-file's size and 40 MiB, with one inflate
// fewer. None for fewer than two entries.
SharedRoom sharedRoomFor(const dz::Survey& survey, const std::vector<std::uint32_t>& order,
                         unsigned workers, std::uint64_t budget = 0);

// What proveEntries tells its caller, each from whichever thread did the work, outside its
// locks. A call may wait for another thread's call (the others go on meanwhile).
struct ProverCalls {
    // As an entry is begun (again, when it did not fit where it was first put). May be left
    // empty.
    std::function<void(std::uint32_t index)> started;
    // Once for each entry, when it is inflated (Fault::none and its length) or failed for good
    // before its digest; before its digest begins. May be left empty.
    std::function<void(std::uint32_t index, const Proof& proof)> inflated;
    // For each slice of an entry's unpacked bytes as soon as it is digested, in order: `at` is
    // where the slice begins in the entry. May be left empty.
    std::function<void(std::uint32_t index, std::uint64_t at, const std::uint8_t* bytes,
                       std::size_t length)>
        digested;
    // Once for each entry, at its end (after its last slice); with Fault::none, its unpacked
    // bytes are at `bytes` while the call lasts.
    std::function<void(std::uint32_t index, const Proof& proof, const std::uint8_t* bytes)> proven;
};

// Unpacks and proves the entries in `order` (their headers passed), begun in that order, on
// `workers` threads. Each worker has a room of its own, for a sub-file of any size at a time;
// the shared room takes as many as fit it side by side (dzlib/rooms.h). How the workers share the
// work: dzlib/prover_schedule.h.
//
// `predecessors[index]` is the entry that must be inflated (or have failed for good) before
// entry `index` is begun, or -1 for none; it must come earlier in the order. The inflated calls
// of such a chain then come in its order, each after the one before it has returned (an extraction
// places the pieces of a joined output so). Empty: none has one.
//
// All the rooms and packed data commit their memory against `bound` (none when null), the shared
// room only when it takes no more than half of it. A sub-file that runs short of memory while
// others hold some waits until no other is inflated and the workers' rooms are empty, and is then
// inflated with all the bound leaves beside the shared room, alone; one that runs short there, or
// that had that much already, fails with packedMemory or unpackedMemory.
void proveEntries(const dz::Survey& survey, const std::vector<std::uint32_t>& order,
                  const std::vector<std::int64_t>& predecessors, unsigned workers,
                  const SharedRoom& shared, const ProverCalls& calls,
                  platform::MemoryBound* bound = nullptr);

}  // namespace dz
