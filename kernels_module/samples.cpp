#include "kernels_module/samples.hpp"

#include <utility>

#include <pybind11/stl.h>

namespace py = pybind11;

namespace tarnwell::kernels_module {
namespace {

// Reads an exact list or tuple whose items are all exact floats, summing them left to
// right on the way (the add chain hides behind the loads). Returns false, with `out`
// unspecified, at the first item of any other type. No Python code runs here, so giving up
// and reading the value the general way afterwards changes nothing.
bool read_exact_floats(PyObject *value, Samples &out) {
    if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) {
        return false;
    }
    PyObject *const *items = PySequence_Fast_ITEMS(value);
    const auto size = static_cast<std::size_t>(Py_SIZE(value));
    out.values.resize(size);
    double *dst = out.values.data();
    double sum = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        PyObject *item = items[i];
        if (!PyFloat_CheckExact(item)) {
            return false;
        }
        const double x = PyFloat_AS_DOUBLE(item);
        dst[i] = x;
        sum += x;
    }
    out.sum = sum;
    return true;
}

}  // namespace

Samples read_samples(const py::handle &value) {
    Samples samples;
    if (!value || value.is_none()) {
        return samples;
    }
    if (read_exact_floats(value.ptr(), samples)) {
        return samples;
    }
    samples.values.clear();
    py::detail::make_caster<std::vector<double>> list;
    if (list.load(value, /*convert=*/true)) {
        samples.values = py::detail::cast_op<std::vector<double> &&>(std::move(list));
        return samples;
    }
    py::detail::make_caster<double> one;
    if (one.load(value, /*convert=*/true)) {
        samples.values.assign(1, py::detail::cast_op<double>(one));
    }
    return samples;
}

std::vector<double> to_double_list(const py::handle &value) {
    return read_samples(value).values;
}

Samples samples_from_payload(const py::dict &payload,
                             std::initializer_list<const char *> keys) {
    for (const char *name : keys) {
        const py::object key = name != nullptr ? py::object(py::str(name)) : py::object(py::none());
        if (payload.contains(key)) {
            return read_samples(payload[key]);
        }
    }
    return {};
}

std::vector<double> values_from_payload(const py::dict &payload,
                                        std::initializer_list<const char *> keys) {
    return samples_from_payload(payload, keys).values;
}

int to_int32(const py::handle &value) {
    return py::cast<int>(value);
}

}  // namespace tarnwell::kernels_module
