// The places of sub-files in the workers' own rooms and in the shared room.
#include "dzlib/rooms.h"

#include <algorithm>

namespace dz {

RoomArena::RoomArena(std::size_t ownRooms, std::size_t ownSize, std::size_t sharedSize)
    : ownRooms_(ownRooms), ownSize_(ownSize), sharedSize_(sharedSize) {}

std::optional<Place> RoomArena::freeOwnRoom() const {
    for (std::size_t room = 0; room < ownRooms_; ++room) {
        if (holdsNothing(room)) return ownRoom(room);
    }
    return std::nullopt;
}

Place RoomArena::ownRoom(std::size_t room) const {
    return {.room = room, .begin = 0, .capacity = ownSize_, .own = true};
}

std::vector<std::pair<std::size_t, std::size_t>> RoomArena::gaps() const {
    std::vector<std::pair<std::size_t, std::size_t>> taken;
    for (const Taken& t : taken_) {
        if (t.room == sharedRoom()) taken.emplace_back(t.begin, t.end);
    }
    std::sort(taken.begin(), taken.end());
    taken.emplace_back(sharedSize_, sharedSize_);
    std::vector<std::pair<std::size_t, std::size_t>> gaps;
    std::size_t from = 0;
    for (const auto& [begin, end] : taken) {
        if (begin > from) gaps.emplace_back(from, begin - from);
        from = std::max(from, (end + kRoomAlignment - 1) / kRoomAlignment * kRoomAlignment);
    }
    return gaps;
}

std::pair<std::size_t, std::size_t> RoomArena::largestGap() const {
    std::pair<std::size_t, std::size_t> best{0, 0};
    for (const auto& gap : gaps()) {
        if (gap.second > best.second) best = gap;
    }
    return best;
}

std::optional<Place> RoomArena::firstGap(std::size_t least) const {
    if (!hasShared()) return std::nullopt;
    for (const auto& [begin, length] : gaps()) {
        if (length != 0 && length >= least)
            return Place{.room = sharedRoom(), .begin = begin, .capacity = length, .own = false};
    }
    return std::nullopt;
}

std::optional<Place> RoomArena::sharedGap(std::size_t least) const {
    if (!hasShared()) return std::nullopt;
    const auto [begin, length] = largestGap();
    if (length == 0 || length < least) return std::nullopt;
    return Place{.room = sharedRoom(), .begin = begin, .capacity = length, .own = false};
}

bool RoomArena::holdsNothing(std::size_t room) const {
    return std::none_of(taken_.begin(), taken_.end(),
                        [&](const Taken& t) { return t.room == room; });
}

bool RoomArena::ownRoomsHoldNothing() const {
    return std::all_of(taken_.begin(), taken_.end(),
                       [&](const Taken& t) { return t.room == sharedRoom(); });
}

std::size_t RoomArena::take(const Place& place) {
    taken_.push_back({nextNumber_, place.room, place.begin, place.begin + place.capacity});
    return nextNumber_++;
}

void RoomArena::fill(std::size_t taken, std::size_t length) {
    for (Taken& t : taken_) {
        if (t.number == taken) t.end = std::min(t.end, t.begin + length);
    }
}

void RoomArena::release(std::size_t taken) {
    std::erase_if(taken_, [&](const Taken& t) { return t.number == taken; });
}

}  // namespace dz
