// Reading sample lists and integer settings from a payload, leniently for samples and
// strictly for integers, and the payload keys of the signal ops.
//
//   to_double_list([1, 2.5, True])  -> {1.0, 2.5, 1.0}
//   to_double_list(3)               -> {3.0}
//   to_double_list("3")             -> {}
//
// A Python error raised while reading (a generator that raises, a sequence without a
// length) leaves as pybind11::error_already_set; a value that cannot be used gives an empty
// list.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <utility>
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
// key always gives its value, None included). A lookup that raises throws
// pybind11::error_already_set.
pybind11::object find_item(const pybind11::dict &payload, pybind11::handle key);

// Sets `target[key] = value`; a failure throws pybind11::error_already_set.
void set_item(pybind11::handle target, pybind11::handle key, pybind11::handle value);

// A sample list read from a payload value, with its strict left-to-right sum (as
// tarnwell::vector_sum gives it) when reading took the sum for free. An exact list or tuple
// of exact floats is read into a buffer of its own, summed on the way; every other value
// the general way into a std::vector.
class Samples {
public:
    Samples() = default;
    explicit Samples(std::vector<double> values) : values_(std::move(values)) {}
    Samples(std::unique_ptr<double[]> buffer, std::size_t size, double sum)
        : buffer_(std::move(buffer)), buffer_size_(size), sum_(sum) {}

    const double *data() const { return buffer_ ? buffer_.get() : values_.data(); }
    std::size_t size() const { return buffer_ ? buffer_size_ : values_.size(); }
    bool empty() const { return size() == 0; }
    const std::optional<double> &sum() const { return sum_; }

private:
    std::vector<double> values_;
    std::unique_ptr<double[]> buffer_;
    std::size_t buffer_size_ = 0;
    std::optional<double> sum_;
};

// A chunk of new samples, with owned references to the float objects they were read from
// when the value was an exact list or tuple of exact floats (then `floats[i]` holds
// `values[i]`); otherwise `floats` is empty.
struct Chunk {
    std::vector<double> values;
    std::vector<pybind11::object> floats;
};

// The samples of `value`: its elements when it is list-like (a sequence other than str or
// bytes, a generator, set, frozenset, dict view, map or zip) and every element converts to a
// double; otherwise `value` itself as one sample when it converts; otherwise empty. None and
// a null handle give an empty list.
std::vector<double> to_double_list(const pybind11::handle &value);

// to_double_list with the sum when it came for free.
Samples read_samples(const pybind11::handle &value);

// to_double_list with the float objects when there are any to keep.
Chunk read_chunk(const pybind11::handle &value);

// to_double_list of the value under the first of `keys` present in `payload` (a null entry
// stands for the key None); empty when none is present. Later keys are never consulted.
std::vector<double> values_from_payload(const pybind11::dict &payload,
                                        std::initializer_list<const char *> keys);

// The same for keys that are str objects already: read_samples and read_chunk of the value
// under the first of `keys` present.
Samples samples_from_payload(const pybind11::dict &payload,
                             std::initializer_list<pybind11::handle> keys);
Chunk chunk_from_payload(const pybind11::dict &payload,
                         std::initializer_list<pybind11::handle> keys);

// `value` as a signed 32-bit integer by pybind11's conversion with implicit conversion
// allowed: ints and bools in range, other objects through their integer conversion; floats,
// str, None and out-of-range values throw pybind11::cast_error.
int to_int32(const pybind11::handle &value);

}  // namespace tarnwell::kernels_module
