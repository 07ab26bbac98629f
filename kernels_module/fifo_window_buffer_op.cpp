// fifo_window_buffer: feeds the payload's chunk of samples into a named process-wide FIFO
// and writes the FIFO's current window back as payload["window"].
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "host_api/pipeline.hpp"
#include "kernels/fifo_store.hpp"
#include "kernels_module/ops.hpp"
#include "kernels_module/samples.hpp"

namespace py = pybind11;

namespace tarnwell::kernels_module {
namespace {

// "windowSize", else "window_size", clamped at 0. A value that is no 32-bit integer means
// no limit (0); it does not fall back to the other key.
unsigned long window_size(const py::dict &payload) {
    int size = 0;
    try {
        if (payload.contains("windowSize")) {
            size = to_int32(payload["windowSize"]);
        } else if (payload.contains("window_size")) {
            size = to_int32(payload["window_size"]);
        }
    } catch (const py::cast_error &) {
        size = 0;
    }
    return size < 0 ? 0UL : static_cast<unsigned long>(size);
}

std::string fifo_id(const py::dict &payload) {
    if (payload.contains("fifoId")) {
        return py::cast<std::string>(payload["fifoId"]);
    }
    return "default";
}

py::list float_list(const std::vector<double> &values) {
    py::list list(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject *item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) {
            throw py::error_already_set();
        }
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace

// Every input is read before the FIFO is touched, so a failing read leaves every FIFO as it
// was. Once the FIFO is updated it keeps the new samples, whatever happens next.
void fifo_window_buffer_op(pipeline::Data &data) {
    const py::dict payload = data.payload;
    const std::vector<double> samples
        = values_from_payload(payload, {"sampleChunk", "values", "data"});
    const unsigned long size = window_size(payload);
    const std::string id = fifo_id(payload);
    const std::vector<double> window = tarnwell::fifo_window_buffer(samples, size, id);
    payload["window"] = float_list(window);
}

}  // namespace tarnwell::kernels_module
