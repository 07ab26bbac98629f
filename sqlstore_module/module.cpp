// _kestrel_sqlstore: registers its op table with the host on the first import, holding the
// interpreter lock once more, nested, around the host import and the registration calls.
#include <pybind11/pybind11.h>

#include "host_api/register_ops.hpp"
#include "sqlstore_module/ops.hpp"

namespace tarnwell::sqlstore_module {
namespace {

// Every op of the module, in registration order.
constexpr host::OpEntry kOps[] = {
    {"duckdb_checkpoint_cpp", &duckdb_checkpoint_cpp},
    {"duckdb_sql_cpp", &duckdb_sql_cpp},
};

}  // namespace
}  // namespace tarnwell::sqlstore_module

PYBIND11_MODULE(_kestrel_sqlstore, m) {
    m.doc() = "C++ DuckDB ops for tarnwell (register_cpp_op via capsule)";
    tarnwell::host::register_ops(tarnwell::sqlstore_module::kOps,
                                 tarnwell::host::Gil::kNestedAcquire);
}
