// The op table rows of _kestrel_sqlstore. Each op function has internal linkage in its own
// source file; the host reaches it only through the row registered at start-up.
#pragma once

#include "host_api/startup.hpp"

namespace tarnwell::sqlstore_module {

extern const host::OpEntry kCheckpointEntry;
extern const host::OpEntry kSqlEntry;

}  // namespace tarnwell::sqlstore_module
