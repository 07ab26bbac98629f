// fifo_window_buffer: feeds the payload's chunk of samples into a named process-wide FIFO
// and writes the FIFO's current window back as payload["window"].
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "host_api/pipeline.hpp"
#include "kernels/fifo_store.hpp"
#include "kernels_module/ops.hpp"
#include "kernels_module/samples.hpp"
#include "kernels_module/window_cache.hpp"

namespace py = pybind11;

namespace tarnwell::kernels_module {
namespace {

// "windowSize", else "window_size", clamped at 0. A value that is no 32-bit integer means
// no limit (0); it does not fall back to the other key.
unsigned long window_size(const py::dict &payload, const PayloadKeys &keys) {
    int size = 0;
    try {
        if (const py::object value = find_item(payload, keys.window_size)) {
            size = to_int32(value);
        } else if (const py::object alt = find_item(payload, keys.window_size_alt)) {
            size = to_int32(alt);
        }
    } catch (const py::cast_error &) {
        size = 0;
    }
    return size < 0 ? 0UL : static_cast<unsigned long>(size);
}

std::string fifo_id(const py::dict &payload, const PayloadKeys &keys) {
    if (const py::object value = find_item(payload, keys.fifo_id)) {
        return py::cast<std::string>(value);
    }
    return "default";
}

}  // namespace

// Every input is read before the FIFO is touched, so a failing read leaves every FIFO as it
// was. Once the FIFO is updated it keeps the new samples, whatever happens next.
void fifo_window_buffer_op(pipeline::Data &data) {
    const PayloadKeys &keys = payload_keys();
    const py::dict payload = data.payload;
    const Samples chunk = values_from_payload(payload, {keys.sample_chunk, keys.values, keys.data},
                                              /*keep_floats=*/true);
    const unsigned long size = window_size(payload, keys);
    const std::string id = fifo_id(payload, keys);
    std::vector<double> window = tarnwell::fifo_window_buffer(chunk.values, size, id);
    set_item(payload, keys.window, window_list(id, std::move(window), chunk.values, chunk.floats));
}

}  // namespace tarnwell::kernels_module
