#include "kernels_module/samples.hpp"

#include <cstddef>

#include <pybind11/stl.h>

#include "host_api/sample_buffer.hpp"

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
// their sum, taken on the way. Returns nothing for any other value, or at the first item that
// is no exact float. No Python code runs here, so giving up and reading the value the general
// way afterwards changes nothing.
std::optional<double> read_exact_floats(PyObject *value, std::vector<double> &out) {
    if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) {
        return std::nullopt;
    }
    PyObject *const *items = PySequence_Fast_ITEMS(value);
    return host::append_summed(out, static_cast<std::size_t>(Py_SIZE(value)),
                               [items](std::size_t i, double &x) {
                                   if (!PyFloat_CheckExact(items[i])) {
                                       return false;
                                   }
                                   x = PyFloat_AS_DOUBLE(items[i]);
                                   return true;
                               });
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

Samples to_double_list(const py::handle &value, bool keep_floats) {
    Samples samples;
    if (value) {
        samples.sum = read_exact_floats(value.ptr(), samples.values);
        if (samples.sum && keep_floats) {
            PyObject *const *items = PySequence_Fast_ITEMS(value.ptr());
            samples.floats.reserve(samples.values.size());
            for (std::size_t i = 0; i < samples.values.size(); ++i) {
                samples.floats.push_back(py::reinterpret_borrow<py::object>(items[i]));
            }
        }
        if (!samples.sum) {  // lists and tuples, which may leave part of theirs, have no buffer
            samples.sum = host::read_buffer(value, samples.values);
        }
    }
    if (!samples.sum) {
        samples.values = convert(value);
    }
    return samples;
}

Samples values_from_payload(const py::dict &payload,
                            std::initializer_list<py::handle> keys,
                            bool keep_floats) {
    for (const py::handle key : keys) {
        if (const py::object value = find_item(payload, key)) {
            return to_double_list(value, keep_floats);
        }
    }
    return {};
}

Samples values_from_payload(const py::dict &payload, std::initializer_list<const char *> keys) {
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
