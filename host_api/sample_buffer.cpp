#include "host_api/sample_buffer.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

namespace py = pybind11;

namespace tarnwell::host {
namespace {

// Whether `type` is the extension type `full_name` ("module.name", which an extension type
// carries as its tp_name). A class made in Python under the same name, as by
// type("array.array", bases, {}), derives from the real type, or else from object and then
// exports no buffer (no Python class can), so the general way reads it.
bool is_named(PyTypeObject *type, const char *full_name) {
    return std::strcmp(type->tp_name, full_name) == 0 && type->tp_base == &PyBaseObject_Type;
}

bool is_array_type(PyTypeObject *type) {
    return type == &PyMemoryView_Type || type == &PyByteArray_Type || is_named(type, "array.array")
           || is_named(type, "numpy.ndarray");
}

// The items that have no C++ type of their own: IEEE half floats and C bools.
struct Half {
    std::uint16_t bits;
};
struct Bool {
    unsigned char byte;
};

// Exactly, NaN payloads included: sign, exponent rebiased, fraction moved to the top.
double to_double(Half half) {
    const std::uint64_t sign = std::uint64_t{half.bits} >> 15 << 63;
    const unsigned exponent = (half.bits >> 10) & 0x1f;
    const std::uint64_t fraction = half.bits & 0x3ff;
    if (exponent == 0) {  // zero or subnormal: fraction * 2^-24, exact
        const double magnitude = static_cast<double>(fraction) * 0x1p-24;
        return sign != 0 ? -magnitude : magnitude;
    }
    const std::uint64_t biased = exponent == 0x1f ? 0x7ff : exponent - 15 + 1023;
    const std::uint64_t bits = sign | biased << 52 | fraction << 42;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Any byte but 0 is true, as the bool object of the item is.
double to_double(Bool flag) {
    return flag.byte != 0 ? 1.0 : 0.0;
}

// Integers to the nearest double, floats exactly.
template <class T>
double to_double(T item) {
    return static_cast<double>(item);
}

// Appends the items of a one-dimensional `view` whose items are Ts and returns their sum (every
// item loads, so there always is one).
template <class T>
double append_items(const Py_buffer &view, std::vector<double> &out) {
    const char *const base = static_cast<const char *>(view.buf);
    const Py_ssize_t stride = view.strides[0];
    return *append_summed(
        out, static_cast<std::size_t>(view.shape[0]), [base, stride](std::size_t i, double &x) {
            T item;
            std::memcpy(&item, base + static_cast<Py_ssize_t>(i) * stride, sizeof item);
            x = to_double(item);
            return true;
        });
}

using Appender = double (*)(const Py_buffer &view, std::vector<double> &out);

// append_items<T> when the items of `view` are the size of a T; null otherwise.
template <class T>
Appender appender_of(const Py_buffer &view) {
    return view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) ? &append_items<T> : nullptr;
}

// append_items for the format of `view`; null for one that is no native single-character
// numeric format ("d", "@d"; none is "B").
Appender appender(const Py_buffer &view) {
    const char *format = view.format != nullptr ? view.format : "B";
    if (format[0] == '@') {
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') {
        return nullptr;
    }
    switch (format[0]) {
    case 'b':
        return appender_of<signed char>(view);
    case 'B':
        return appender_of<unsigned char>(view);
    case 'h':
        return appender_of<short>(view);
    case 'H':
        return appender_of<unsigned short>(view);
    case 'i':
        return appender_of<int>(view);
    case 'I':
        return appender_of<unsigned int>(view);
    case 'l':
        return appender_of<long>(view);
    case 'L':
        return appender_of<unsigned long>(view);
    case 'q':
        return appender_of<long long>(view);
    case 'Q':
        return appender_of<unsigned long long>(view);
    case 'n':
        return appender_of<Py_ssize_t>(view);
    case 'N':
        return appender_of<std::size_t>(view);
    case 'e':
        return appender_of<Half>(view);
    case 'f':
        return appender_of<float>(view);
    case 'd':
        return appender_of<double>(view);
    case '?':
        return appender_of<Bool>(view);
    default:
        return nullptr;
    }
}

}  // namespace

std::optional<double> read_buffer(py::handle value, std::vector<double> &out) {
    if (!value || !is_array_type(Py_TYPE(value.ptr()))) {
        return std::nullopt;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();  // none after all (a released memoryview, suboffsets): the general way
        return std::nullopt;
    }
    const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> release(&view,
                                                                          &PyBuffer_Release);
    const Appender append = view.ndim == 1 ? appender(view) : nullptr;
    if (append == nullptr) {
        return std::nullopt;
    }
    return append(view, out);
}

}  // namespace tarnwell::host
