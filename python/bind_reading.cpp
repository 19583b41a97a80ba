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
        .def("join", &joinEntries);
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
