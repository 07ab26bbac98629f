#include "kernels_module/samples.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>

#include <pybind11/stl.h>

#include "kernels/average.hpp"

namespace py = pybind11;

namespace tarnwell::kernels_module {
namespace {

py::handle intern(const char *text) {
    PyObject *key = PyUnicode_InternFromString(text);
    if (key == nullptr) {
        throw py::error_already_set();
    }
    return key;  // owned, never released
}

PayloadKeys make_payload_keys() {
    return {intern("window"),        intern("values"),        intern("data"),
            intern("sampleChunk"),   intern("windowSize"),    intern("window_size"),
            intern("fifoId"),        intern("averageMethod"), intern("mode"),
            intern("stats"),         intern("mean"),          intern("se"),
            intern("standardError"), intern("handleUri"),     intern("handle"),
            intern("csvPath"),       intern("status")};
}

// Reads an exact list or tuple whose items are all exact floats into `out` and returns
// their sum, taken left to right on the way (the add chain hides behind the loads). Returns
// nothing for any other value, or at the first item that is no exact float. No Python code
// runs here, so giving up and reading the value the general way afterwards changes nothing.
//
// The values pass through a block on the stack: filling `out` directly would need it zeroed
// first (resize) or a capacity check per item (push_back), which costs 10-25 % of the
// average op from 100,000 samples on.
std::optional<double> read_exact_floats(PyObject *value, std::vector<double> &out) {
    if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) {
        return std::nullopt;
    }
    PyObject *const *items = PySequence_Fast_ITEMS(value);
    const auto size = static_cast<std::size_t>(Py_SIZE(value));
    out.reserve(size);
    double total = 0.0;
    constexpr std::size_t kBlock = 256;
    double block[kBlock];
    for (std::size_t begin = 0; begin < size; begin += kBlock) {
        const std::size_t count = std::min(kBlock, size - begin);
        for (std::size_t i = 0; i < count; ++i) {
            PyObject *item = items[begin + i];
            if (!PyFloat_CheckExact(item)) {
                return std::nullopt;
            }
            block[i] = PyFloat_AS_DOUBLE(item);
            total += block[i];
        }
        out.insert(out.end(), block, block + count);
    }
    return total;
}

// The general way, through pybind11's casters: a sequence or iterable of numbers, else one
// number, else nothing.
std::vector<double> convert(const py::handle &value) {
    if (!value || value.is_none()) {
        return {};
    }
    try {
        return py::cast<std::vector<double>>(value);
    } catch (const py::cast_error &) {
    }
    try {
        return {py::cast<double>(value)};
    } catch (const py::cast_error &) {
        return {};
    }
}

}  // namespace

const PayloadKeys &payload_keys() {
    // Made under the interpreter lock, which nothing here gives up, so no other thread can
    // wait on this initialisation while holding that lock.
    static const PayloadKeys keys = make_payload_keys();
    return keys;
}

py::object find_item(const py::dict &payload, py::handle key) {
    PyObject *value = PyDict_GetItemWithError(payload.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

void set_item(py::handle target, py::handle key, py::handle value) {
    if (PyObject_SetItem(target.ptr(), key.ptr(), value.ptr()) != 0) {
        throw py::error_already_set();
    }
}

std::vector<double> to_double_list(const py::handle &value,
                                   double *sum,
                                   std::vector<py::object> *floats) {
    std::vector<double> samples;
    if (const std::optional<double> total
        = value ? read_exact_floats(value.ptr(), samples) : std::nullopt) {
        if (sum != nullptr) {
            *sum = *total;
        }
        if (floats != nullptr) {
            PyObject *const *items = PySequence_Fast_ITEMS(value.ptr());
            floats->reserve(samples.size());
            for (std::size_t i = 0; i < samples.size(); ++i) {
                floats->push_back(py::reinterpret_borrow<py::object>(items[i]));
            }
        }
        return samples;
    }
    samples = convert(value);
    if (sum != nullptr) {
        *sum = tarnwell::vector_sum(samples);
    }
    return samples;
}

std::vector<double> values_from_payload(const py::dict &payload,
                                        std::initializer_list<py::handle> keys,
                                        double *sum,
                                        std::vector<py::object> *floats) {
    for (const py::handle key : keys) {
        if (const py::object value = find_item(payload, key)) {
            return to_double_list(value, sum, floats);
        }
    }
    return to_double_list(py::handle(), sum, floats);
}

std::vector<double> values_from_payload(const py::dict &payload,
                                        std::initializer_list<const char *> keys) {
    for (const char *name : keys) {
        const py::object key
            = name != nullptr ? py::object(py::str(name)) : py::object(py::none());
        if (const py::object value = find_item(payload, key)) {
            return to_double_list(value);
        }
    }
    return {};
}

int to_int32(const py::handle &value) {
    return py::cast<int>(value);
}

}  // namespace tarnwell::kernels_module
