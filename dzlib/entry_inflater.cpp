// An entry's packed data, read and inflated a piece at a time.
#include "dzlib/entry_inflater.h"

#include <algorithm>

namespace dz {
namespace {

// The packed bytes read from the container at a time.
constexpr std::size_t kSlice = 256 * 1024;

}  // namespace

EntryInflater::EntryInflater(const Container& container, const PlannedEntry& entry, PastEnd pastEnd)
    : container_(container), entry_(entry), pastEnd_(pastEnd) {}

void EntryInflater::finish(Fault fault) {
    done_ = true;
    fault_ = fault;
    slice_ = {};
}

std::size_t EntryInflater::read(std::uint8_t* out, std::size_t room) {
    while (!done_ && room > 0) {
        switch (inflate_.state()) {
            case InflateStream::State::needsInput: {
                const std::uint64_t packedSize = entry_.header.packedSize;
                // All was given, as the last: the stream cannot want more.
                if (fed_ == packedSize) {
                    finish(Fault::unpack);
                    break;
                }
                const auto step =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kSlice, packedSize - fed_));
                slice_.resize(std::max(step, slice_.size()));
                const Fault fault =
                    readPacked(container_, entry_, fed_, slice_.data(), step, pastEnd_);
                if (fault != Fault::none) {
                    finish(fault);
                    break;
                }
                fed_ += step;
                inflate_.give(slice_.data(), step, fed_ == packedSize);
                break;
            }
            case InflateStream::State::more: {
                const std::size_t produced = inflate_.read(out, room);
                if (inflate_.state() == InflateStream::State::ended) finish(Fault::none);
                if (produced > 0) return produced;
                break;
            }
            case InflateStream::State::refused:
                finish(Fault::unpack);
                break;
            case InflateStream::State::ended:  // finished as the stream ended
                break;
        }
    }
    return 0;
}

}  // namespace dz
