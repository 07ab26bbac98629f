// average: mean and standard error of the payload's samples, written back as "stats" and as
// the top-level keys "mean", "se" and "standardError".
#include <string>

#include <pybind11/pybind11.h>

#include "host_api/pipeline.hpp"
#include "kernels/average.hpp"
#include "kernels_module/ops.hpp"
#include "kernels_module/samples.hpp"

namespace py = pybind11;

namespace tarnwell::kernels_module {
namespace {

std::string method_name(const py::dict &payload, const PayloadKeys &keys) {
    if (const py::object value = find_item(payload, keys.average_method)) {
        return py::cast<std::string>(value);
    }
    if (const py::object value = find_item(payload, keys.mode)) {
        return py::cast<std::string>(value);
    }
    return "arithmetic";
}

}  // namespace

// Reads everything and computes before the first write, so any failure up to the
// computation leaves the payload as it was.
void average_op(pipeline::Data &data) {
    const PayloadKeys &keys = payload_keys();
    const py::dict payload = data.payload;
    Samples samples = values_from_payload(payload, {keys.window, keys.values});
    if (samples.values.empty()) {
        if (const py::object fallback = find_item(payload, keys.data)) {
            samples = to_double_list(fallback);
        }
    }
    const std::string method = method_name(payload, keys);
    const auto [mean, se] = samples.sum
                                ? tarnwell::average(samples.values, method, nullptr, *samples.sum)
                                : tarnwell::average(samples.values, method, nullptr);

    // Floats are immutable: one object for each result serves every key.
    const py::float_ mean_value(mean);
    const py::float_ se_value(se);
    const py::dict stats;
    set_item(stats, keys.mean, mean_value);
    set_item(stats, keys.se, se_value);
    set_item(stats, keys.standard_error, se_value);
    set_item(payload, keys.stats, stats);
    set_item(payload, keys.mean, mean_value);
    set_item(payload, keys.se, se_value);
    set_item(payload, keys.standard_error, se_value);
}

}  // namespace tarnwell::kernels_module
