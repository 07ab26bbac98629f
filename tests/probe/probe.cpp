// _tarnwell_probe: test-only entry points into the private pieces of _kestrel_kernels.
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "kernels_module/samples.hpp"

namespace py = pybind11;
using namespace tarnwell::kernels_module;

namespace {

Samples keyed(const py::dict &payload, const std::string &keys) {
    if (keys == "average") {
        return values_from_payload(payload, {"window", "values"});
    }
    if (keys == "fifo") {
        return values_from_payload(payload, {"sampleChunk", "values", "data"});
    }
    if (keys == "none-first") {
        return values_from_payload(payload, {nullptr, "values"});
    }
    throw std::invalid_argument("unknown key list: " + keys);
}

}  // namespace

PYBIND11_MODULE(_tarnwell_probe, m) {
    m.def("to_double_list", [](py::object value) { return to_double_list(value).values; });
    m.def("values_from_payload", [](const py::dict &payload, const std::string &keys) {
        return keyed(payload, keys).values;
    });
    m.def("to_int32", [](py::object value) { return to_int32(value); });
    // What the average op reads: the samples and their sum where it was taken (None otherwise).
    m.def("to_double_list_with_sum", [](py::object value) {
        Samples samples = to_double_list(value);
        return py::make_tuple(samples.values, samples.sum);
    });
}
