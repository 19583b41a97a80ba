// The module `_kestrix`: the library's public API for the Python package kestrix.
#include <pybind11/pybind11.h>

#include "python/bindings.h"

PYBIND11_MODULE(_kestrix, module) {
    module.doc() = "The native half of the kestrix package; use kestrix itself.";
    kestrix::python::ContainerClass container = kestrix::python::bindContainer(module);
    kestrix::python::bindReading(module, container);
    kestrix::python::bindJoining(module, container);
    kestrix::python::bindWriting(module, container);
}
