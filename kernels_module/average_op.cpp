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

std::string method_name(const py::dict &payload) {
    if (payload.contains("averageMethod")) {
        return py::cast<std::string>(payload["averageMethod"]);
    }
    if (payload.contains("mode")) {
        return py::cast<std::string>(payload["mode"]);
    }
    return "arithmetic";
}

}  // namespace

// Reads everything and computes before the first write, so any failure up to the
// computation leaves the payload as it was.
void average_op(pipeline::Data &data) {
    const py::dict payload = data.payload;
    Samples samples = samples_from_payload(payload, {"window", "values"});
    if (samples.values.empty() && payload.contains("data")) {
        samples = read_samples(payload["data"]);
    }
    const std::string method = method_name(payload);
    const auto [mean, se]
        = samples.sum ? tarnwell::average(samples.values, method, nullptr, *samples.sum)
                      : tarnwell::average(samples.values, method, nullptr);

    py::dict stats;
    stats["mean"] = py::float_(mean);
    stats["se"] = py::float_(se);
    stats["standardError"] = py::float_(se);
    payload["stats"] = stats;
    payload["mean"] = py::float_(mean);
    payload["se"] = py::float_(se);
    payload["standardError"] = py::float_(se);
}

}  // namespace tarnwell::kernels_module
