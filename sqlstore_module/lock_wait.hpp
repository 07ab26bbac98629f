// Waiting for a lock of a file that another holder keeps, in the kernel: a waiter that
// blocks there is woken the moment the holder lets go, where a waiter that polls finds the
// lock taken back by a holder that comes back at once.
//
//   const bool taken = wait_for_lock(deadline, gil, [&](bool block) {
//       return ::flock(fd, block ? LOCK_EX : LOCK_EX | LOCK_NB);
//   });
//
// A timer of the waiting thread interrupts each blocking call in time to let signals through
// (Ctrl-C ends the wait with pybind11::error_already_set) and to stop at the deadline. Its
// signal, SIGRTMAX - 3, is taken only while it is left at its default action; otherwise the
// wait polls instead.
#pragma once

#include <chrono>
#include <functional>

#include "host_api/unlocked.hpp"

namespace tarnwell::sqlstore_module {

// Takes a lock by `take(block)`, a call that returns 0 once the lock is taken, or -1 with
// errno (EAGAIN or EACCES while another holds it, EINTR when interrupted). Returns whether
// it was taken before `deadline`; false also when `take` fails otherwise (a file system
// without such locks).
bool wait_for_lock(std::chrono::steady_clock::time_point deadline,
                   host::ReleasedGil &gil,
                   const std::function<int(bool block)> &take);

}  // namespace tarnwell::sqlstore_module
