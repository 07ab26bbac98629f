// The "window" lists of fifo_window_buffer, made of shared float objects where the values
// allow: per FIFO id, the float objects of the window handed out last are kept with their
// values, so that the next window reuses those still in it, plus the chunk's own floats,
// instead of allocating a new float for every sample.
//
// Reuse is decided by comparing values bit for bit, never by trusting that the cache and
// the store agree: a window that is not exactly the previous one plus the chunk (another
// writer, a reset store, an evicted id, a changed window size that cuts deeper) simply gets
// new floats. Either way the list holds exact floats with exactly the window's values.
//
// The cache holds at most 64 MiB worth of floats (48 bytes a float, and a few floats' worth
// for each id), least recently used ids first out. It is emptied, and no longer used, when
// the interpreter shuts down (through an `atexit` callback registered on first use), so no
// reference outlives the interpreter. The interpreter lock guards it.
#pragma once

#include <string>
#include <vector>

#include <pybind11/pybind11.h>

namespace tarnwell::kernels_module {

// A new list of exact floats holding `window`, the window just returned by the store for
// `fifo_id` after appending `chunk`, whose float objects are `chunk_floats` (empty when the
// chunk was not read from floats). Throws std::runtime_error "Could not allocate list
// object!" or, when a float cannot be made, pybind11::error_already_set.
pybind11::list window_list(const std::string &fifo_id,
                           std::vector<double> window,
                           const std::vector<double> &chunk,
                           const std::vector<pybind11::object> &chunk_floats);

}  // namespace tarnwell::kernels_module
