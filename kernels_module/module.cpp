// Start-up of _kestrel_kernels: the shared start-up instantiated with this module's table.
#include <iterator>

#include "host_api/startup.hpp"
#include "kernels_module/ops.hpp"

namespace tarnwell::kernels_module {
namespace {

constexpr const host::OpEntry *kOps[] = {
    &kFifoWindowBufferEntry,
    &kAverageEntry,
    &kCsvSinkEntry,
};

constexpr host::ModuleSpec kModule{
    "_kestrel_kernels",
    "C++ kestrel ops for tarnwell (register_cpp_op via capsule)",
    kOps,
    std::size(kOps),
    /*hold_gil_for_registration=*/false,
};

}  // namespace
}  // namespace tarnwell::kernels_module

// The entry point's name is fixed by the import system.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" PYBIND11_EXPORT PyObject *PyInit__kestrel_kernels() {
    return tarnwell::host::module_init<tarnwell::kernels_module::kModule>();
}
