// The digests of a pack's pieces, side by side before the entries are packed.
#include "dzlib/pack_digests.h"

#include <algorithm>

namespace dz {

PieceGroups::PieceGroups(const PackInputs& in, unsigned lanes)
    : taken_(in.manifest.entries.size(), false),
      done_(in.manifest.entries.size(), false),
      lanes_(std::max(1u, lanes)) {
    for (const ManifestEntry& entry : in.manifest.entries)
        names_.push_back(entry.content.has_value());
}

std::vector<std::size_t> PieceGroups::claim(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return claimFrom(i);
}

std::vector<std::size_t> PieceGroups::claimAhead(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_[i]) return {};
    for (std::size_t j = i + 1; j < taken_.size(); ++j) {
        if (!taken_[j] && names_[j]) return claimFrom(j);
    }
    return {};
}

std::vector<std::size_t> PieceGroups::claimFrom(std::size_t i) {
    std::vector<std::size_t> group;
    if (taken_[i]) return group;
    taken_[i] = true;
    group.push_back(i);
    for (std::size_t j = i + 1; names_[i] && j < taken_.size() && group.size() < lanes_; ++j) {
        if (taken_[j] || !names_[j]) break;
        taken_[j] = true;
        group.push_back(j);
    }
    return group;
}

void PieceGroups::digested(const std::vector<std::size_t>& group) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i : group) done_[i] = true;
    }
    changed_.notify_all();
}

void PieceGroups::awaitDigest(std::size_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_[i]; });
}

void digestPieces(const PackInputs& in, const std::vector<std::size_t>& group,
                  std::vector<std::optional<digest::Digest>>& digests,
                  const std::function<void(std::size_t, std::uint64_t, std::size_t)>& digested) {
    // A slice is a whole number of MD5 blocks, so that every state stays on a block boundary
    // and its bytes go in lanes.
    constexpr std::size_t kSlice = kDigestSlice;
    struct Piece {
        std::size_t entry;
        platform::FileView view;
        std::size_t length;
        digest::Md5State state;
    };
    std::vector<Piece> pieces;
    pieces.reserve(group.size());
    for (std::size_t i : group) {
        if (!in.manifest.entries[i].content) continue;
        const ContentPlace& place = *in.manifest.entries[i].content;
        const auto length = static_cast<std::size_t>(place.length);
        platform::FileView view = in.sources.at(place.file).file.view(place.offset, length);
        if (view.empty() && length > 0) continue;  // read and digested as it is packed
        pieces.push_back({i, std::move(view), length, {}});
        digest::md5Start(pieces.back().state);
    }
    std::vector<digest::Md5Job> jobs;
    for (std::size_t at = 0;; at += kSlice) {
        jobs.clear();
        for (Piece& piece : pieces) {
            if (at >= piece.length) continue;
            jobs.push_back(
                {&piece.state, piece.view.bytes() + at, std::min(kSlice, piece.length - at)});
        }
        if (jobs.empty()) break;
        digest::md5AddMany(jobs.data(), jobs.size());
        for (Piece& piece : pieces) {
            if (at >= piece.length) continue;
            // Its pages are mapped again if the entry is packed: kept, the group's pieces would
            // all stay in the process's memory until the last is digested.
            piece.view.letGoBefore(std::min(piece.length, at + kSlice));
            if (digested) digested(piece.entry, at, std::min(kSlice, piece.length - at));
        }
    }
    for (Piece& piece : pieces) digests[piece.entry] = digest::md5Finish(piece.state);
}

}  // namespace dz
