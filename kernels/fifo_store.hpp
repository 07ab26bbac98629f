// Named FIFO window store: process-wide sample buffers, each appended to and cut down to a
// sliding window of its newest samples.
//
//   tarnwell::fifo_window_buffer({1, 2}, 3, "a");  // {1, 2}
//   tarnwell::fifo_window_buffer({3, 4}, 3, "a");  // {2, 3, 4}
//
// One mutex guards the whole store; every operation holds it for its whole duration and
// calls nothing else that locks. Ids are compared byte for byte.
#pragma once

#include <string>
#include <vector>

namespace tarnwell {

// Appends `samples` to the FIFO `fifo_id` (created empty when new), removes its oldest
// samples beyond `window_size` (0: no limit) and returns a copy of what remains, oldest first.
std::vector<double> fifo_window_buffer(const std::vector<double> &samples,
                                       unsigned long window_size,
                                       const std::string &fifo_id);

// Removes the FIFO `fifo_id` if it exists.
void reset_fifo(const std::string &fifo_id);

// Removes every FIFO.
void reset_all_fifos();

}  // namespace tarnwell
