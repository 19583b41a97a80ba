// Opening a container from Python, and its survey as plain Python values: the main header, the
// table's verdict, the entries and the outputs.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>

#include "python/bindings.h"

namespace py = pybind11;

namespace kestrix::python {
namespace {

py::bytes bytesOf(const std::string& text) {
    return py::bytes(text.data(), text.size());
}

std::string textOf(Reason reason) {
    return reason == Reason::ok ? "" : reasonText(reason);
}

// The system's number for a failure of `kind`, so that OSError picks its subclass (such as
// FileNotFoundError); `number` for a failure of another kind.
int errorNumberOf(Container::OpenFailure kind, int number) {
    switch (kind) {
        case Container::OpenFailure::notFound:
            return ENOENT;
        case Container::OpenFailure::denied:
            return EACCES;
        case Container::OpenFailure::folder:
            return EISDIR;
        case Container::OpenFailure::notRegularFile:
            return EINVAL;
        case Container::OpenFailure::held:
            return EBUSY;
        default:
            return number != 0 ? number : EIO;
    }
}

void openAt(OpenContainer& self, const std::string& path) {
    auto container = std::make_shared<Container>();
    std::string error;
    errno = 0;
    if (!container->open(path, error)) {
        const int number = errorNumberOf(container->openFailure(), errno);
        PyErr_SetObject(PyExc_OSError, py::make_tuple(number, error).ptr());
        throw py::error_already_set();
    }
    self.container = std::move(container);
}

py::dict headerOf(const Container& container) {
    const MainHeader& header = container.mainHeader();
    py::dict values;
    values["status"] = reasonCode(header.verdict);
    values["reason"] = textOf(header.verdict);
    values["version"] = header.version;
    values["count"] = header.subfileCount;
    values["creation_time"] = header.creationTime;
    values["model"] = bytesOf(header.phoneModel);
    values["internal_name"] = bytesOf(header.internalName);
    values["chip"] = bytesOf(header.chip);
    values["file_name"] = bytesOf(header.fileName);
    values["raw"] = bytesOf(header.raw);
    return values;
}

py::list entriesOf(const Container& container) {
    py::list entries;
    for (const Entry& entry : container.entries()) {
        py::dict values;
        values["index"] = entry.index;
        values["type"] = entry.type;
        values["offset"] = entry.offset;
        values["packed_size"] = entry.packedSize;
        values["name"] = bytesOf(entry.name);
        values["digest"] =
            py::bytes(reinterpret_cast<const char*>(entry.digest.data()), entry.digest.size());
        values["output_name"] = bytesOf(entry.outputName);
        values["output"] = entry.output;
        values["piece"] = entry.piece;
        values["pieces"] = entry.pieces;
        values["status"] = reasonCode(entry.reason);
        values["reason"] = textOf(entry.reason);
        entries.append(std::move(values));
    }
    return entries;
}

py::list outputsOf(const Container& container) {
    py::list outputs;
    for (const Output& output : container.outputs()) {
        outputs.append(py::make_tuple(bytesOf(output.name), output.pieces));
    }
    return outputs;
}

}  // namespace

std::shared_ptr<const Container> OpenContainer::get() const {
    if (container == nullptr) throw py::value_error("I/O operation on a closed container");
    return container;
}

ProofTuple proofTuple(const Proof& proof) {
    return {reasonCode(proof.reason), textOf(proof.reason), proof.unpackedSize};
}

std::uint32_t entryIndex(const Container& container, long long index) {
    if (index < 0 || static_cast<unsigned long long>(index) >= container.entries().size()) {
        throw py::index_error("no such entry");
    }
    return static_cast<std::uint32_t>(index);
}

ContainerClass bindContainer(py::module_& module) {
    return ContainerClass(module, "Container")
        .def(py::init([](const std::string& path) {
                 OpenContainer self;
                 openAt(self, path);
                 return self;
             }),
             py::arg("path"))
        .def("close", [](OpenContainer& self) { self.container.reset(); })
        .def_property_readonly("closed",
                               [](const OpenContainer& self) { return self.container == nullptr; })
        .def("length", [](const OpenContainer& self) { return self.get()->length(); })
        .def("good", [](const OpenContainer& self) { return self.get()->good(); })
        .def("header", [](const OpenContainer& self) { return headerOf(*self.get()); })
        .def("table",
             [](const OpenContainer& self) {
                 const Table& table = self.get()->table();
                 return py::make_tuple(reasonCode(table.verdict), textOf(table.verdict),
                                       table.cutShort);
             })
        .def("entries", [](const OpenContainer& self) { return entriesOf(*self.get()); })
        .def("outputs", [](const OpenContainer& self) { return outputsOf(*self.get()); });
}

}  // namespace kestrix::python
