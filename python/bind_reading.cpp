// Proving and reading entries from Python: each without the interpreter's lock, so that other
// Python threads go on meanwhile, and many at once on the library's workers.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <vector>

#include "python/bindings.h"

namespace py = pybind11;

namespace kestrix::python {
namespace {

std::vector<std::uint32_t> indexesOf(const Container& container,
                                     const std::vector<long long>& indexes) {
    std::vector<std::uint32_t> checked;
    checked.reserve(indexes.size());
    for (long long index : indexes) checked.push_back(entryIndex(container, index));
    return checked;
}

// The proof of entry `index` and, when it is good, its content as bytes.
py::tuple unpackEntry(const OpenContainer& self, long long index) {
    const std::shared_ptr<const Container> container = self.get();
    const std::uint32_t checked = entryIndex(*container, index);
    Content content;
    Proof proof;
    {
        py::gil_scoped_release unlocked;
        proof = container->unpack(checked, content);
    }
    if (proof.reason != Reason::ok) return py::make_tuple(proofTuple(proof), py::none());
    return py::make_tuple(proofTuple(proof),
                          py::bytes(reinterpret_cast<const char*>(content.data()), content.size()));
}

// Entries proven together on `jobs` workers and joined in their order as one bytes object; on
// the first failure in their order, its position and proof, and no bytes.
py::tuple joinEntries(const OpenContainer& self, const std::vector<long long>& indexes,
                      unsigned jobs) {
    const std::shared_ptr<const Container> container = self.get();
    const std::vector<std::uint32_t> checked = indexesOf(*container, indexes);
    std::vector<Content> contents(checked.size());
    std::vector<Proof> proofs;
    {
        py::gil_scoped_release unlocked;
        proofs = proveAll(*container, checked, jobs,
                          [&](std::size_t position, const Proof&, Content& content) {
                              contents[position] = std::move(content);
                          });
    }
    std::size_t total = 0;
    for (std::size_t i = 0; i < proofs.size(); ++i) {
        if (proofs[i].reason != Reason::ok) {
            return py::make_tuple(static_cast<long long>(i), proofTuple(proofs[i]), py::none());
        }
        total += contents[i].size();
    }
    PyObject* joined = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (joined == nullptr) throw py::error_already_set();
    char* at = PyBytes_AS_STRING(joined);
    for (Content& content : contents) {
        std::memcpy(at, content.data(), content.size());
        at += content.size();
        content = Content();  // its memory goes back as soon as it is copied
    }
    return py::make_tuple(-1, ProofTuple{"ok", "", total},
                          py::reinterpret_steal<py::bytes>(joined));
}

// Rooms entries are unpacked into, kept from one read to the next by a thread that reads many:
// their pages are had once, not for every entry. Two at a time, their digests side by side.
struct Rooms {
    std::vector<Content> contents = std::vector<Content>(2);
};

// The bytes of one output as its pieces are proven in turn: grown in place (their pages moved
// rather than copied where the system can), or the first failure.
struct Joined {
    PyObject* bytes = nullptr;  // owned here until handed over
    std::size_t size = 0;
    long long failed = -1;  // the position of the piece that failed
    Proof proof;

    ~Joined() { Py_XDECREF(bytes); }
    // Appends `size` bytes at `from`; false, with a Python error set, when memory runs out.
    bool append(const std::uint8_t* from, std::size_t length) {
        const auto total = static_cast<Py_ssize_t>(size + length);
        if (bytes == nullptr) {
            bytes = PyBytes_FromStringAndSize(nullptr, total);
        } else if (_PyBytes_Resize(&bytes, total) != 0) {
            bytes = nullptr;  // freed by the failed resize
        }
        if (bytes == nullptr) return false;
        {
            py::gil_scoped_release unlocked;  // the bytes are no one else's yet
            if (length > 0) std::memcpy(PyBytes_AS_STRING(bytes) + size, from, length);
        }
        size += length;
        return true;
    }
};

// Outputs, each given as the indexes of its pieces, unpacked two entries at a time into `rooms`
// in their order and joined: for each, -1, its proof and its bytes, or the position of its piece
// that failed, that piece's proof and None.
py::list joinOutputs(const OpenContainer& self, const std::vector<std::vector<long long>>& outputs,
                     Rooms& rooms) {
    const std::shared_ptr<const Container> container = self.get();
    std::vector<std::pair<std::size_t, std::uint32_t>> entries;  // output, entry
    for (std::size_t output = 0; output < outputs.size(); ++output) {
        for (std::uint32_t index : indexesOf(*container, outputs[output])) {
            entries.emplace_back(output, index);
        }
    }
    std::vector<Joined> joined(outputs.size());
    std::vector<std::size_t> piece(outputs.size());
    for (std::size_t at = 0; at < entries.size();) {
        std::vector<std::uint32_t> together;
        std::vector<std::size_t> owners;
        for (; at < entries.size() && together.size() < rooms.contents.size(); ++at) {
            if (joined[entries[at].first].failed >= 0) continue;  // its output failed already
            together.push_back(entries[at].second);
            owners.push_back(entries[at].first);
        }
        std::vector<Proof> proofs;
        {
            py::gil_scoped_release unlocked;
            proofs = container->unpackTogether(together, rooms.contents);
        }
        for (std::size_t i = 0; i < together.size(); ++i) {
            Joined& output = joined[owners[i]];
            const std::size_t position = piece[owners[i]]++;
            if (output.failed >= 0) continue;
            if (proofs[i].reason != Reason::ok) {
                output.failed = static_cast<long long>(position);
                output.proof = proofs[i];
                Py_CLEAR(output.bytes);
                continue;
            }
            const Content& content = rooms.contents[i];
            if (!output.append(content.data(), content.size())) throw py::error_already_set();
        }
    }
    py::list results;
    for (Joined& output : joined) {
        if (output.failed >= 0) {
            results.append(py::make_tuple(output.failed, proofTuple(output.proof), py::none()));
            continue;
        }
        if (output.bytes == nullptr) output.bytes = PyBytes_FromStringAndSize(nullptr, 0);
        if (output.bytes == nullptr) throw py::error_already_set();
        results.append(py::make_tuple(-1, ProofTuple{"ok", "", output.size},
                                      py::reinterpret_steal<py::bytes>(output.bytes)));
        output.bytes = nullptr;
    }
    return results;
}

// An entry read as a stream: the reader and the container it reads.
struct OpenReader {
    std::shared_ptr<const Container> container;
    EntryReader reader;
};

std::size_t readInto(OpenReader& self, const py::buffer& target) {
    py::buffer_info info = target.request(true);
    if (info.ndim != 1 || info.itemsize != 1) throw py::type_error("a flat byte buffer is needed");
    py::gil_scoped_release unlocked;
    return self.reader.read(info.ptr, static_cast<std::size_t>(info.size));
}

}  // namespace

void bindReading(py::module_& module, ContainerClass& containerClass) {
    containerClass
        .def("prove",
             [](const OpenContainer& self, long long index) {
                 const std::shared_ptr<const Container> container = self.get();
                 const std::uint32_t checked = entryIndex(*container, index);
                 py::gil_scoped_release unlocked;
                 return proofTuple(container->prove(checked));
             })
        .def("prove_all",
             [](const OpenContainer& self, const std::vector<long long>& indexes, unsigned jobs) {
                 const std::shared_ptr<const Container> container = self.get();
                 const std::vector<std::uint32_t> checked = indexesOf(*container, indexes);
                 std::vector<Proof> proofs;
                 {
                     py::gil_scoped_release unlocked;
                     proofs = proveAll(*container, checked, jobs);
                 }
                 std::vector<ProofTuple> tuples;
                 for (const Proof& proof : proofs) tuples.push_back(proofTuple(proof));
                 return tuples;
             })
        .def("unpack", &unpackEntry)
        .def("join", &joinEntries)
        .def("join_outputs", &joinOutputs);
    py::class_<Rooms>(module, "Rooms").def(py::init<>());
    py::class_<OpenReader>(module, "EntryReader")
        .def(py::init([](const OpenContainer& owner, long long index) {
            std::shared_ptr<const Container> container = owner.get();
            const std::uint32_t checked = entryIndex(*container, index);
            auto self = std::make_unique<OpenReader>(
                OpenReader{container, EntryReader(*container, checked)});
            return self;
        }))
        .def("readinto", &readInto)
        .def_property_readonly("done", [](const OpenReader& self) { return self.reader.done(); })
        .def("proof", [](const OpenReader& self) { return proofTuple(self.reader.proof()); });
}

}  // namespace kestrix::python
