// The digests of a pack's pieces, taken before the entries are packed: several pieces side by
// side in the lanes of vector registers (digest/md5_lanes.h), read in place, instead of one
// stream each as every entry is packed. Most of a round trip's time is these digests: an
// unchanged piece needs only its digest to be copied from the original.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "digest/md5.h"
#include "digest/md5_lanes.h"
#include "dzlib/pack.h"

namespace dz {

// Which entries' pieces are digested together: the job that comes to an entry first takes with
// it the entries right after it that name a file and are not yet taken, as many as the
// processor has lanes. The jobs of the entries it took wait for those digests, taking groups
// further on meanwhile, then pack their entries as any job does: the compression stays spread
// over the workers. Only entries right after it, so that packing one entry after another packs
// a group in table order.
class PieceGroups {
  public:
    // `lanes`: how many pieces a group takes at most.
    PieceGroups(const PackInputs& in, unsigned lanes = digest::md5LaneCount());
    // The entries whose pieces the job for entry `i` digests, from `i` (just `i` for an entry
    // that names no file); none when an earlier job took it.
    std::vector<std::size_t> claim(std::size_t i);
    // While entry `i`, taken by an earlier job, waits for its digest: a group claimed from the
    // first entry after it that names a file and is not yet taken, so that the wait is put to
    // use; none once its digest is taken, or when none is left.
    std::vector<std::size_t> claimAhead(std::size_t i);
    // The digests of `group`, claimed, are taken (or given up).
    void digested(const std::vector<std::size_t>& group);
    // Waits until the digest of entry `i`, taken by an earlier job, is.
    void awaitDigest(std::size_t i);

  private:
    std::vector<std::size_t> claimFrom(std::size_t i);  // claim, the mutex held

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<bool> names_;  // by entry: whether it names a file
    std::vector<bool> taken_;
    std::vector<bool> done_;
    unsigned lanes_;
};

// Digests the pieces of the entries `group` side by side into digests[i], a slice of each at a
// time, calling digested(i, at, length) after each slice of entry i. An entry that names no
// file is passed over; a piece that cannot be read in place gets no digest: packEntry takes it
// as it packs the entry.
void digestPieces(const PackInputs& in, const std::vector<std::size_t>& group,
                  std::vector<std::optional<digest::Digest>>& digests,
                  const std::function<void(std::size_t, std::uint64_t, std::size_t)>& digested);

}  // namespace dz
