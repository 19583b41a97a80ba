// One output's pieces placed, written, ended and settled.
#include "kx/output_assembly.h"

#include "platform/platform.h"

namespace kx {

OutputAssembly::OutputAssembly(std::vector<std::uint32_t> pieces)
    : pieces_(std::move(pieces)),
      places_(pieces_.size(), 0),
      pieceSizes_(pieces_.size(), 0),
      writes_(pieces_.size()),
      unfinished_(pieces_.size()) {}

void OutputAssembly::keepExisting(bool measure) {
    outcome_ = Outcome::kept;
    measureOnly_ = measure;
}

void OutputAssembly::failChecked(std::size_t piece, dz::Fault fault) {
    outcome_ = Outcome::failed;
    fail(piece, fault);
}

std::uint64_t OutputAssembly::size() const {
    std::uint64_t size = 0;
    for (const std::uint64_t piece : pieceSizes_) size += piece;
    return size;
}

void OutputAssembly::fail(std::size_t piece, dz::Fault fault, std::string detail) {
    const std::lock_guard<std::mutex> lock(state_);
    if (broken_ && failedEntry_ <= pieces_[piece]) return;
    fault_ = fault;
    failedEntry_ = pieces_[piece];
    detail_ = std::move(detail);
    broken_ = true;
}

void OutputAssembly::place(std::size_t piece, dz::Fault fault, std::uint64_t length) {
    if (fault != dz::Fault::none) {
        fail(piece, fault);
        return;
    }
    const std::lock_guard<std::mutex> lock(state_);
    places_[piece] = nextPlace_;
    if (broken_) return;
    pieceSizes_[piece] = length;
    nextPlace_ += length;
}

void OutputAssembly::begin(std::size_t piece) {
    std::call_once(begun_, [&] {
        pending_ = target_.folder->begin(target_.name, target_.guarded);
        // Why it could not begin is taken at once: on Windows the calls that follow (the locks'
        // own) may clear the last error.
        if (!pending_.isOpen()) fail(piece, dz::Fault::write, platform::lastErrorText());
    });
}

bool OutputAssembly::writeAt(std::size_t piece, std::uint64_t at, const std::uint8_t* bytes,
                             std::size_t length) {
    return broken_ || pending_.writeAt(places_[piece] + at, bytes, length);
}

void OutputAssembly::write(std::size_t piece, std::uint64_t at, const std::uint8_t* bytes,
                           std::size_t length) {
    if (broken_ || target_.folder == nullptr) return;
    begin(piece);
    const auto writer = [this, piece](std::uint64_t from, const std::uint8_t* slice,
                                      std::size_t count) {
        return writeAt(piece, from, slice, count);
    };
    if (!writes_.add(file_, static_cast<std::uint32_t>(piece), at, bytes, length, writer)) {
        fail(piece, dz::Fault::write, platform::lastErrorText());
    }
}

bool OutputAssembly::end(std::size_t piece, dz::Fault fault) {
    if (target_.folder != nullptr) {
        const auto writer = [this, piece](std::uint64_t from, const std::uint8_t* slice,
                                          std::size_t count) {
            return writeAt(piece, from, slice, count);
        };
        if (!writes_.finish(file_, static_cast<std::uint32_t>(piece), writer)) {
            fail(piece, dz::Fault::write, platform::lastErrorText());
        }
    }
    if (fault != dz::Fault::none) {
        fail(piece, fault);
    } else if (!broken_ && target_.folder != nullptr) {
        begin(piece);  // an output of empty pieces has none written
    }
    if (unfinished_.fetch_sub(1, std::memory_order_acq_rel) != 1) return false;
    settle(piece);
    return true;
}

void OutputAssembly::settle(std::size_t piece) {
    if (target_.folder == nullptr) {
        if (outcome_ == Outcome::waiting) outcome_ = broken_ ? Outcome::failed : Outcome::extracted;
        return;
    }
    // Without --force, a file that another program made at the name since the run began is
    // left as it is: the move into place refuses to replace anything.
    const dz::Existing existing = target_.force ? dz::Existing::replace : dz::Existing::refuse;
    bool taken = false;
    if (!broken_ && !pending_.commit(existing)) {
        taken = pending_.nameTaken();
        if (!taken) fail(piece, dz::Fault::write, platform::lastErrorText());
    }
    if (broken_) pending_.discard();
    if (taken) {
        detail_ = target_.folder->directory().holdsFolder(target_.name.c_str())
                      ? "it is a folder"
                      : "it exists (--force replaces it, --keep keeps it)";
        outcome_ = target_.keep ? Outcome::kept : Outcome::exists;
    } else {
        outcome_ = broken_ ? Outcome::failed : Outcome::extracted;
    }
}

}  // namespace kx
