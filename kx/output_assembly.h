// One output of kx extract as its pieces are proven: where each piece goes in the output, its
// slices written there as they are digested, the first failure in table order, and, once the
// last piece ends, the output moved into place whole, or dropped when a piece failed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "dzlib/container.h"
#include "dzlib/fault.h"
#include "dzlib/output_writer.h"
#include "kx/deferred_writes.h"

namespace kx {

// `exists`: a file was made at the output's name by another program while the run went on, and
// is left as it is.
enum class Outcome { notChosen, waiting, extracted, kept, failed, exists };

// Where an output's pieces are written: a file at `name` in `folder`, begun by its first bytes.
struct OutputTarget {
    dz::OutputFolder* folder = nullptr;
    std::string name;
    const dz::Container* guarded = nullptr;  // a file never written over (the open container)
    // A file made at the name by another program meanwhile is replaced with `force`; else it is
    // left as it is, and the output counts as kept with `keep`, else as refused.
    bool force = false;
    bool keep = false;
};

class OutputAssembly {
  public:
    // An output whose pieces are the entries `pieces`, in table order.
    explicit OutputAssembly(std::vector<std::uint32_t> pieces);
    OutputAssembly(const OutputAssembly&) = delete;
    OutputAssembly& operator=(const OutputAssembly&) = delete;

    // ---- Before the work, on one thread.
    // Chosen by the names: it waits to be extracted.
    void choose() { outcome_ = Outcome::waiting; }
    // A file exists at its name and is kept; with `measure`, its pieces are proven all the same,
    // for their sizes, and nothing is written.
    void keepExisting(bool measure);
    // Not chosen, but proven, for the manifest: nothing is written.
    void measure() { measureOnly_ = true; }
    // A piece failed a check already: the output fails, and is not unpacked.
    void failChecked(std::size_t piece, dz::Fault fault);
    // Its pieces are written into `target`. Without a target, they are only placed and ended,
    // and the caller writes them where they go (or nowhere, when measured).
    void writeTo(OutputTarget target) { target_ = std::move(target); }

    // ---- As its pieces are proven, from any thread.
    // Piece `piece` was inflated: `length` bytes, or it failed with `fault`. The pieces are
    // placed in table order, each after the one before it (each follows the lengths of those
    // before it).
    void place(std::size_t piece, dz::Fault fault, std::uint64_t length);
    // The slice of piece `piece` that begins `at` bytes into it, which follows the one before it
    // in memory and stays there until the piece ends: written at its place in the target, at
    // once or, when another piece holds the file, later. Nothing is written once the output
    // failed.
    void write(std::size_t piece, std::uint64_t at, const std::uint8_t* bytes, std::size_t length);
    // Piece `piece` ended, with `fault` (after its last slice); each piece ends once. The last to
    // end settles the output, and is told so by true: its target's file moves into place whole,
    // or is dropped when a piece failed; without a target, an output that waited counts as
    // extracted or failed.
    bool end(std::size_t piece, dz::Fault fault);
    // Records a failure of piece `piece`, with the system's reason when a write failed. Of the
    // failed pieces, the first in table order is the one the output reports, whatever order
    // they were found in.
    void fail(std::size_t piece, dz::Fault fault, std::string detail = {});
    // True once a piece failed.
    bool failed() const { return broken_.load(); }

    // ---- Once the work is done.
    Outcome outcome() const { return outcome_; }
    // Proven for its pieces' sizes (or for the manifest), and not written.
    bool measureOnly() const { return measureOnly_; }
    const std::vector<std::uint32_t>& pieces() const { return pieces_; }
    // What failed: the fault, the entry of the failed piece and the system's reason, if any.
    dz::Fault fault() const { return fault_; }
    std::uint32_t failedEntry() const { return failedEntry_; }
    const std::string& detail() const { return detail_; }
    // The unpacked size of each piece placed before the output failed.
    const std::vector<std::uint64_t>& pieceSizes() const { return pieceSizes_; }
    std::uint64_t size() const;

  private:
    // Begins the target's file, once.
    void begin(std::size_t piece);
    // Writes bytes of piece `piece` from `at` in it; true when they were written (or need not
    // be, as the output failed).
    bool writeAt(std::size_t piece, std::uint64_t at, const std::uint8_t* bytes,
                 std::size_t length);
    // The last piece to end, `piece`, moves the output into place or drops it.
    void settle(std::size_t piece);

    const std::vector<std::uint32_t> pieces_;
    Outcome outcome_ = Outcome::notChosen;
    bool measureOnly_ = false;
    OutputTarget target_;

    std::mutex state_;  // held while a place or a failure is recorded
    std::vector<std::uint64_t> places_;
    std::uint64_t nextPlace_ = 0;
    std::vector<std::uint64_t> pieceSizes_;
    std::atomic<bool> broken_{false};
    dz::Fault fault_ = dz::Fault::none;
    std::uint32_t failedEntry_ = 0;
    std::string detail_;

    std::once_flag begun_;  // the file is begun by the first piece that writes or ends
    dz::PendingOutput pending_;
    std::mutex file_;  // held while a piece's bytes go into the file
    DeferredWrites writes_;
    std::atomic<std::size_t> unfinished_;
};

}  // namespace kx
