// Reading sample lists and integer settings from a payload, leniently for samples and
// strictly for integers.
//
//   to_double_list([1, 2.5, True])  -> {1.0, 2.5, 1.0}
//   to_double_list(3)               -> {3.0}
//   to_double_list("3")             -> {}
//
// A Python error raised while reading (a generator that raises, a sequence without a
// length) leaves as pybind11::error_already_set; a value that cannot be used gives an empty
// list.
#pragma once

#include <initializer_list>
#include <optional>
#include <vector>

#include <pybind11/pybind11.h>

namespace tarnwell::kernels_module {

// A sample list together with its strict left-to-right sum (as tarnwell::vector_sum gives
// it) when reading took the sum for free; the fast path for lists and tuples of floats does.
struct Samples {
    std::vector<double> values;
    std::optional<double> sum;
};

// The samples of `value`: its elements when it is list-like (a sequence other than str or
// bytes, a generator, set, frozenset, dict view, map or zip) and every element converts to a
// double; otherwise `value` itself as one sample when it converts; otherwise empty. None and
// a null handle give an empty list.
std::vector<double> to_double_list(const pybind11::handle &value);

// to_double_list with the sum when it came for free.
Samples read_samples(const pybind11::handle &value);

// to_double_list of the value under the first of `keys` present in `payload` (a null entry
// stands for the key None); empty when none is present. Later keys are never consulted.
std::vector<double> values_from_payload(const pybind11::dict &payload,
                                        std::initializer_list<const char *> keys);

// values_from_payload with the sum when it came for free.
Samples samples_from_payload(const pybind11::dict &payload,
                             std::initializer_list<const char *> keys);

// `value` as a signed 32-bit integer by pybind11's conversion with implicit conversion
// allowed: ints and bools in range, other objects through their integer conversion; floats,
// str, None and out-of-range values throw pybind11::cast_error.
int to_int32(const pybind11::handle &value);

}  // namespace tarnwell::kernels_module
