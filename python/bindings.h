// The native half of the Python module: what each binding file adds to the module `_kestrix`.
// The Python package (kestrix/__init__.py) gives these their Pythonic form.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <tuple>

#include "kestrix/kestrix.h"

namespace kestrix::python {

// An open container as Python holds it, until close(). What reads it meanwhile (an entry's
// stream, a proof running without the interpreter's lock) holds it too, so that a close() from
// another thread never pulls it away from under them.
struct OpenContainer {
    std::shared_ptr<const Container> container;

    // The container, or a ValueError once it was closed.
    std::shared_ptr<const Container> get() const;
};

// A proof as Python sees it: (code, reason, unpacked size).
using ProofTuple = std::tuple<std::string, std::string, std::uint64_t>;
ProofTuple proofTuple(const Proof& proof);

// Entry `index` (from 0) checked against the container's entries: an IndexError past them.
std::uint32_t entryIndex(const Container& container, long long index);

using ContainerClass = pybind11::class_<OpenContainer>;
ContainerClass bindContainer(pybind11::module_& module);
void bindReading(pybind11::module_& module, ContainerClass& container);
void bindJoining(pybind11::module_& module, ContainerClass& container);
void bindWriting(pybind11::module_& module, ContainerClass& container);

}  // namespace kestrix::python
