// Waiting in the kernel for the locks of a database file that other processes hold: a waiter
// that blocks there is woken the moment the holder lets go, where one that polls finds the
// lock taken back by a holder that comes back at once.
//
//   if (queue_up(fd, deadline, gil)) {          // the exclusive flock: the queue
//       wait_until_unlocked(fd, deadline, gil); // DuckDB's fcntl lock let go
//   }
//
// A timer of the waiting thread interrupts each blocking call in time to let signals through
// (Ctrl-C ends the wait with pybind11::error_already_set) and to stop at the deadline. Its
// signal, SIGRTMAX - 3, is taken only while it is left at its default action; otherwise the
// waits poll instead.
#pragma once

#include <chrono>

#include "host_api/unlocked.hpp"

namespace tarnwell::sqlstore_module {

// Takes the exclusive flock of the open file `fd`, waiting until `deadline`; returns whether
// it was taken: false also on a file system without flock, and on NFS, which emulates flock
// with an fcntl lock of the whole file that the process's own DuckDB could then not take.
bool queue_up(int fd, std::chrono::steady_clock::time_point deadline, host::ReleasedGil &gil);

// Waits until `deadline` for the moment no process holds the fcntl lock by which DuckDB keeps
// an open file to itself: takes a read lock of the whole open file `fd`, which that lock keeps
// out, and lets go of it again at once.
void wait_until_unlocked(int fd,
                         std::chrono::steady_clock::time_point deadline,
                         host::ReleasedGil &gil);

}  // namespace tarnwell::sqlstore_module
