// _kestrel_kernels: registers its op table with the host on the first import.
#include <pybind11/pybind11.h>

#include "host_api/register_ops.hpp"
#include "kernels_module/ops.hpp"

namespace tarnwell::kernels_module {
namespace {

// Every op of the module, in registration order.
constexpr host::OpEntry kOps[] = {
    {"fifo_window_buffer", &fifo_window_buffer_op},
    {"average", &average_op},
    {"csv_sink", &csv_sink_op},
};

}  // namespace
}  // namespace tarnwell::kernels_module

PYBIND11_MODULE(_kestrel_kernels, m) {
    m.doc() = "C++ kestrel ops for tarnwell (register_cpp_op via capsule)";
    tarnwell::host::register_ops(tarnwell::kernels_module::kOps);
}
