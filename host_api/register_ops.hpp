// Registration of a module's op table with the host. A module's PYBIND11_MODULE body sets
// the docstring and registers its table:
//
//   constexpr tarnwell::host::OpEntry kOps[] = {{"op_name", &op_function}, ...};
//   PYBIND11_MODULE(_name, m) {
//       m.doc() = "...";
//       tarnwell::host::register_ops(kOps);
//   }
//
// pybind11's module definition does the rest of the start-up: it refuses an interpreter of
// another version, initialises in two phases, runs the body once per interpreter (a
// re-import or a reload gets the first module back from its cache) and turns what the body
// throws into the ImportError of the import.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>

#include <pybind11/pybind11.h>

#include "host_api/pipeline.hpp"

namespace tarnwell::host {

// One row of a module's op table: the name given to the host and the op.
struct OpEntry {
    const char *name;
    pipeline::OpFn fn;
};

// Whether registration relies on the import machinery's hold of the interpreter lock alone
// or takes it once more, nested, around the host import and the registration calls.
enum class Gil { kImportHold, kNestedAcquire };

// Imports the host, takes its registration function from the capsule and registers every
// op of `ops` in order. Every reference taken here is released on return.
template <std::size_t N>
void register_ops(const OpEntry (&ops)[N], Gil gil = Gil::kImportHold) {
    std::optional<pybind11::gil_scoped_acquire> nested;
    if (gil == Gil::kNestedAcquire) {
        nested.emplace();
    }
    const auto host = pybind11::module_::import(kHostModule);
    const pybind11::object capsule = host.attr(kCapsuleAttribute);
    void *pointer = PyCapsule_GetPointer(capsule.ptr(), kCapsuleName);
    if (pointer == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Failed to obtain register_op_c_api from kestrel capsule");
    }
    const auto register_op = reinterpret_cast<pipeline::RegisterOpFn>(pointer);
    for (const OpEntry &op : ops) {
        register_op(op.name, op.fn);
    }
}

}  // namespace tarnwell::host
