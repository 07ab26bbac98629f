// The ops of _kestrel_sqlstore, each defined in its own source file and registered by
// module.cpp. The module builds with hidden visibility: none is exported.
#pragma once

#include "host_api/pipeline.hpp"

namespace tarnwell::sqlstore_module {

void duckdb_checkpoint_cpp(pipeline::Data &data);
void duckdb_sql_cpp(pipeline::Data &data);

}  // namespace tarnwell::sqlstore_module
