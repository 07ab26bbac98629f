// Samples read straight from the buffer of an array type, for every op that reads samples.
//
//   read_buffer(array.array('h', [1, 2]), out)       -> 3.0, out {1.0, 2.0}
//   read_buffer(memoryview(b"\x01\x02")[::-1], out)  -> 3.0, out {2.0, 1.0}
//   read_buffer([1.0, 2.5], out)                     -> nothing: not an array type
//
// A value is read from its buffer when its type is exactly array.array, memoryview, bytearray
// or numpy.ndarray (known by the module and name it carries: numpy is not linked) and it
// exports a one-dimensional buffer of a native single-character numeric format ("b", "B",
// "h", "H", "i", "I", "l", "L", "q", "Q", "n", "N", "e", "f", "d" or "?", optionally after
// "@"), with any stride. Each item becomes the double that its Python object would: an
// integer the nearest double, "e" and "f" widened exactly, "?" 0.0 for a zero byte and 1.0 for
// any other. Any other value (a subclass, another format, more than one dimension) is left to
// the caller's general way of reading, with no Python error left behind. No Python code runs
// while reading, and the value is never changed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include <pybind11/pybind11.h>

namespace tarnwell::host {

// Appends the samples of `value`'s buffer to `out` and returns their sum, taken on the way;
// nothing, with `out` untouched, when `value` is no array type of a native numeric format (see
// above).
std::optional<double> read_buffer(pybind11::handle value, std::vector<double> &out);

// Appends `size` values to `out`, the i-th stored by `load(i, x)`, and returns their sum,
// added left to right on the way: the adds form one chain, behind which the loads hide.
// Returns nothing at the first index where `load` gives false, with part of the values
// appended.
//
// The values pass through a block on the stack: filling `out` directly would need it zeroed
// first (resize) or a capacity check per item (push_back), which costs 10-25 % of the
// average op from 100,000 samples on.
template <class Load>
std::optional<double> append_summed(std::vector<double> &out, std::size_t size, Load &&load) {
    out.reserve(out.size() + size);
    double total = 0.0;
    constexpr std::size_t kBlock = 256;
    double block[kBlock];
    for (std::size_t begin = 0; begin < size; begin += kBlock) {
        const std::size_t count = std::min(kBlock, size - begin);
        for (std::size_t i = 0; i < count; ++i) {
            if (!load(begin + i, block[i])) {
                return std::nullopt;
            }
            total += block[i];
        }
        out.insert(out.end(), block, block + count);
    }
    return total;
}

}  // namespace tarnwell::host
