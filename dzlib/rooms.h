// Where the prover puts sub-files as they are inflated: each worker's own room, for one sub-file
// of any size at a time, and the shared room, of a fixed size, for as many as fit it side by
// side. Only the places: the memory behind them is the prover's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace dz {

// Where sub-files may begin within the shared room.
constexpr std::size_t kRoomAlignment = 4096;

// A stretch of a room: rooms 0 to ownRooms - 1 are the workers' own, room ownRooms the shared.
struct Place {
    std::size_t room = 0;
    std::size_t begin = 0;
    std::size_t capacity = 0;
    bool own = false;  // a whole own room
};

class RoomArena {
  public:
    // `ownRooms` rooms of `ownSize` bytes each, and a shared room of `sharedSize` bytes (0: none).
    RoomArena(std::size_t ownRooms, std::size_t ownSize, std::size_t sharedSize);

    std::size_t ownRooms() const { return ownRooms_; }
    bool hasShared() const { return sharedSize_ != 0; }
    std::size_t sharedSize() const { return sharedSize_; }
    std::size_t sharedRoom() const { return ownRooms_; }

    // The first own room that holds nothing, whole; none when each holds a sub-file.
    std::optional<Place> freeOwnRoom() const;
    // Own room `room` whole.
    Place ownRoom(std::size_t room) const;
    // The largest free stretch of the shared room between the sub-files in it, the first of
    // those as large, when it has at least `least` bytes and any at all; each stretch begins
    // on kRoomAlignment past the one before it. None without a shared room.
    std::optional<Place> sharedGap(std::size_t least = 0) const;
    // The first free stretch of the shared room from its start with at least `least` bytes, so
    // that memory touched before is used again; none without one.
    std::optional<Place> firstGap(std::size_t least) const;
    // The largest free stretch of the shared room: {begin, length}, {0, 0} when it is full.
    std::pair<std::size_t, std::size_t> largestGap() const;

    bool holdsNothing(std::size_t room) const;
    bool ownRoomsHoldNothing() const;

    // Takes `place` for a sub-file; returns the number that names it until it is released.
    std::size_t take(const Place& place);
    // The sub-file `taken` holds `length` bytes (no more than its capacity): the rest of its
    // stretch is free again.
    void fill(std::size_t taken, std::size_t length);
    // Frees its place.
    void release(std::size_t taken);

  private:
    // The free stretches of the shared room, {begin, length}, from its start.
    std::vector<std::pair<std::size_t, std::size_t>> gaps() const;

    struct Taken {
        std::size_t number;
        std::size_t room;
        std::size_t begin;
        std::size_t end;
    };

    std::size_t ownRooms_;
    std::size_t ownSize_;
    std::size_t sharedSize_;
    std::vector<Taken> taken_;
    std::size_t nextNumber_ = 0;
};

}  // namespace dz
