// Reading outputs as bytes on many threads: each thread unpacks two entries at a time, their
// digests side by side, and appends each piece to its output's bytes in the pieces' order, so
// that the pieces of one large output are unpacked on all threads at once.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <tuple>
#include <vector>

#include "python/bindings.h"

namespace py = pybind11;

namespace kestrix::python {
namespace {

// Rooms entries are unpacked into, kept from one task to the next by a thread: their pages are
// had once, not for every entry. Two at a time, their digests side by side.
struct Rooms {
    std::vector<Content> contents = std::vector<Content>(2);
};

// One output's bytes as its pieces are appended in order by whichever threads unpacked them,
// or the first of its pieces that failed. A piece waits for its turn (the pieces before it
// appended) with the interpreter's lock released; a piece never waits for a later one, so
// pieces taken in order always come through.
class Joining {
  public:
    ~Joining() { Py_XDECREF(bytes_); }

    // Whether the output failed already (its later pieces need not be unpacked).
    bool failed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failed_ >= 0;
    }

    // Piece `position` (from 0) with its proof and content, once the pieces before it are in.
    // Called with the interpreter's lock held; a Python error (no memory) fails the output.
    void add(long long position, const Proof& proof, const Content& content) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> lock(mutex_);
            turn_.wait(lock, [&] { return next_ == position; });
        }
        struct Next {  // the turn passes on whatever happens
            Joining& joining;
            ~Next() {
                {
                    std::lock_guard<std::mutex> lock(joining.mutex_);
                    ++joining.next_;
                }
                joining.turn_.notify_all();
            }
        } next{*this};
        if (failed_ >= 0) return;
        if (proof.reason != Reason::ok) return fail(position, proof);
        if (!append(content.data(), content.size())) {
            fail(position, Proof{Reason::unpackedMemory, 0});
            throw py::error_already_set();
        }
    }

    // (-1, its proof, its bytes), or (the position of the piece that failed, that piece's
    // proof, None), once every piece is in.
    py::tuple take() {
        if (failed_ >= 0) return py::make_tuple(failed_, proofTuple(proof_), py::none());
        if (bytes_ == nullptr) bytes_ = PyBytes_FromStringAndSize(nullptr, 0);
        if (bytes_ == nullptr) throw py::error_already_set();
        py::bytes bytes = py::reinterpret_steal<py::bytes>(bytes_);
        bytes_ = nullptr;
        return py::make_tuple(-1, ProofTuple{"ok", "", size_}, bytes);
    }

  private:
    void fail(long long position, const Proof& proof) {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = position;
        proof_ = proof;
        Py_CLEAR(bytes_);
    }

    // Appends `length` bytes at `from`, growing the bytes in place (their pages moved rather
    // than copied where the system can); false, with a Python error set, when memory runs out.
    bool append(const std::uint8_t* from, std::size_t length) {
        const auto total = static_cast<Py_ssize_t>(size_ + length);
        if (bytes_ == nullptr) {
            bytes_ = PyBytes_FromStringAndSize(nullptr, total);
        } else if (_PyBytes_Resize(&bytes_, total) != 0) {
            bytes_ = nullptr;  // freed by the failed resize
        }
        if (bytes_ == nullptr) return false;
        {
            py::gil_scoped_release unlocked;  // the bytes are no one else's yet
            if (length > 0) std::memcpy(PyBytes_AS_STRING(bytes_) + size_, from, length);
        }
        size_ += length;
        return true;
    }

    std::mutex mutex_;
    std::condition_variable turn_;
    long long next_ = 0;  // the position of the piece whose turn it is
    // Written only by the piece whose turn it is.
    PyObject* bytes_ = nullptr;
    std::size_t size_ = 0;
    long long failed_ = -1;
    Proof proof_;
};

// Pieces, each (its output's Joining, its position there, its entry index), unpacked as many
// at a time as `rooms` holds and added to their outputs. Every piece is added, whatever fails:
// later pieces of its output wait for it.
void joinPieces(const OpenContainer& self,
                const std::vector<std::tuple<Joining*, long long, long long>>& pieces,
                Rooms& rooms) {
    std::size_t added = 0;  // pieces whose turn came
    try {
        const std::shared_ptr<const Container> container = self.get();
        std::vector<std::uint32_t> indexes;
        for (const auto& piece : pieces)
            indexes.push_back(entryIndex(*container, std::get<2>(piece)));
        while (added < pieces.size()) {
            const std::size_t first = added;
            const std::size_t end = std::min(pieces.size(), first + rooms.contents.size());
            std::vector<std::uint32_t> together;
            std::vector<bool> skipped;  // for its output's earlier failure
            for (std::size_t at = first; at < end; ++at) {
                skipped.push_back(std::get<0>(pieces[at])->failed());
                if (!skipped.back()) together.push_back(indexes[at]);
            }
            std::vector<Proof> proofs;
            {
                py::gil_scoped_release unlocked;
                proofs = container->unpackTogether(together, rooms.contents);
            }
            for (std::size_t at = first, unpacked = 0; at < end; ++at) {
                const auto& [joining, position, index] = pieces[at];
                ++added;
                if (skipped[at - first]) {
                    joining->add(position, Proof{Reason::ok, 0}, Content());
                } else {
                    joining->add(position, proofs[unpacked], rooms.contents[unpacked]);
                    ++unpacked;
                }
            }
        }
    } catch (...) {
        for (; added < pieces.size(); ++added) {
            const auto& [joining, position, index] = pieces[added];
            joining->add(position, Proof{Reason::unpackedMemory, 0}, Content());
        }
        throw;
    }
}

}  // namespace

void bindJoining(py::module_& module, ContainerClass& containerClass) {
    containerClass.def("join_pieces", &joinPieces);
    py::class_<Rooms>(module, "Rooms").def(py::init<>());
    py::class_<Joining>(module, "Joining").def(py::init<>()).def("take", &Joining::take);
}

}  // namespace kestrix::python
