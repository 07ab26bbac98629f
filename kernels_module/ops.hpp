// The ops of _kestrel_kernels, each defined in its own source file and registered by
// module.cpp. The module builds with hidden visibility: none is exported.
#pragma once

#include "host_api/pipeline.hpp"

namespace tarnwell::kernels_module {

void fifo_window_buffer_op(pipeline::Data &data);
void average_op(pipeline::Data &data);
void csv_sink_op(pipeline::Data &data);

}  // namespace tarnwell::kernels_module
