// Reading sample lists and integer settings from a payload, leniently for samples and
// strictly for integers, and the payload keys of the signal ops.
//
//   to_double_list([1, 2.5, True]).values  -> {1.0, 2.5, 1.0}
//   to_double_list(3).values               -> {3.0}
//   to_double_list("3").values             -> {}
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

// The payload keys that the signal ops and csv_sink read and write, as interned str objects. They
// are made on first use (which throws pybind11::error_already_set if that fails) and never
// released, so no reference outlives the interpreter into a destructor.
struct PayloadKeys {
    pybind11::handle window, values, data, sample_chunk, window_size, window_size_alt, fifo_id,
        average_method, mode, stats, mean, se, standard_error, handle_uri, handle, csv_path,
        status;
};
const PayloadKeys &payload_keys();

// The value under `key` in `payload`, or a null object when the key is absent (a present
// key always gives its value, None included). The lookup is the dict's own, also for a
// subclass that defines its own item access. A lookup that raises throws
// pybind11::error_already_set.
pybind11::object find_item(const pybind11::dict &payload, pybind11::handle key);

// Sets `target[key] = value`; a failure throws pybind11::error_already_set.
void set_item(pybind11::handle target, pybind11::handle key, pybind11::handle value);

// What to_double_list hands back: the values, their sum where it was taken on the way, and the
// float objects where they were kept (`floats[i]` holds `values[i]`).
struct Samples {
    std::vector<double> values;
    std::optional<double> sum;
    std::vector<pybind11::object> floats;
};

// The samples of `value`: its elements when it is list-like (a sequence other than str or
// bytes, a generator, set, frozenset, dict view, map or zip) and every element converts to a
// double; otherwise `value` itself as one sample when it converts; otherwise empty. None and
// a null handle give an empty list.
//
// Two kinds of value are read directly, with their sum (tarnwell::vector_sum of the values)
// taken on the way: an exact list or tuple of exact floats, whose float objects are kept too
// when `keep_floats` is set, and an array type of a native numeric format
// (host::read_buffer). Every other value gives no sum.
Samples to_double_list(const pybind11::handle &value, bool keep_floats = false);

// to_double_list of the value under the first of `keys` present in `payload` (a null entry
// stands for the key None); empty when none is present. Later keys are never consulted.
Samples values_from_payload(const pybind11::dict &payload,
                            std::initializer_list<const char *> keys);
// The same for keys that are str objects already.
Samples values_from_payload(const pybind11::dict &payload,
                            std::initializer_list<pybind11::handle> keys,
                            bool keep_floats = false);

// `value` as a signed 32-bit integer by pybind11's conversion with implicit conversion
// allowed: ints and bools in range, other objects through their integer conversion; floats,
// str, None and out-of-range values throw pybind11::cast_error.
int to_int32(const pybind11::handle &value);

}  // namespace tarnwell::kernels_module
