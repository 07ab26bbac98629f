// Start-up of _kestrel_sqlstore: the shared start-up instantiated with this module's table.
// It holds the interpreter lock once more, nested, around the host import and registration.
#include <iterator>

#include "host_api/startup.hpp"
#include "sqlstore_module/ops.hpp"

namespace tarnwell::sqlstore_module {
namespace {

constexpr const host::OpEntry *kOps[] = {
    &kCheckpointEntry,
    &kSqlEntry,
};

constexpr host::ModuleSpec kModule{
    "_kestrel_sqlstore",
    "C++ DuckDB ops for tarnwell (register_cpp_op via capsule)",
    kOps,
    std::size(kOps),
    /*hold_gil_for_registration=*/true,
};

}  // namespace
}  // namespace tarnwell::sqlstore_module

// The entry point's name is fixed by the import system.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" PYBIND11_EXPORT PyObject *PyInit__kestrel_sqlstore() {
    return tarnwell::host::module_init<tarnwell::sqlstore_module::kModule>();
}
