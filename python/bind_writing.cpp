// Writing from Python: a container's outputs into a folder, each whole or not at all, and a
// container packed again from a manifest; both without the interpreter's lock.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <stdexcept>

#include "python/bindings.h"

namespace py = pybind11;

namespace kestrix::python {
namespace {

Overwrite overwriteOf(const std::string& name) {
    if (name == "refuse") return Overwrite::refuse;
    if (name == "force") return Overwrite::force;
    if (name == "keep") return Overwrite::keep;
    throw py::value_error("overwrite is \"refuse\", \"force\" or \"keep\", not \"" + name + "\"");
}

// Each output written as a tuple (output index, outcome, code, reason, entry index or -1,
// detail, size).
py::list writeAll(const OpenContainer& self, const std::vector<long long>& outputs,
                  const std::string& folder, const std::string& overwrite) {
    const std::shared_ptr<const Container> container = self.get();
    std::vector<std::uint32_t> chosen;
    for (long long output : outputs) {
        if (output < 0 || static_cast<unsigned long long>(output) >= container->outputs().size()) {
            throw py::index_error("no such output");
        }
        chosen.push_back(static_cast<std::uint32_t>(output));
    }
    const Overwrite rule = overwriteOf(overwrite);
    std::vector<Written> written;
    {
        py::gil_scoped_release unlocked;
        written = writeOutputs(*container, folder, chosen, rule);
    }
    py::list results;
    for (const Written& one : written) {
        const bool failed = one.outcome == Outcome::failed;
        results.append(py::make_tuple(one.output, outcomeCode(one.outcome),
                                      failed ? reasonCode(one.reason) : "ok",
                                      failed ? reasonText(one.reason) : "", one.failedEntry,
                                      one.detail, one.size));
    }
    return results;
}

// (code, message, entries, copied, bytes): code "ok" when the container was packed.
py::tuple packAt(const std::string& manifest, const std::string& target, int level,
                 const std::optional<std::string>& base) {
    PackResult result;
    {
        py::gil_scoped_release unlocked;
        result = pack(manifest, target, level, base);
    }
    return py::make_tuple(result.code, result.message, result.entries, result.copied,
                          result.bytes);
}

}  // namespace

void bindWriting(py::module_& module, ContainerClass& containerClass) {
    containerClass.def("write_outputs", &writeAll);
    module.def("pack", &packAt);
}

}  // namespace kestrix::python
