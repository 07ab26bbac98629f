// The op table rows of _kestrel_kernels. Each op function has internal linkage in its own
// source file; the host reaches it only through the row registered at start-up.
#pragma once

#include "host_api/startup.hpp"

namespace tarnwell::kernels_module {

extern const host::OpEntry kFifoWindowBufferEntry;
extern const host::OpEntry kAverageEntry;
extern const host::OpEntry kCsvSinkEntry;

}  // namespace tarnwell::kernels_module
