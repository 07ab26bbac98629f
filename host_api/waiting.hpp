// Waiting for something that another holder keeps (a file lock, say): tries again and again
// until a deadline, without the interpreter lock, with Ctrl-C let through.
//
//   tarnwell::host::ReleasedGil released;
//   const bool got = tarnwell::host::retry_until(deadline, released, [&](bool last) {
//       return try_to_lock();               // true: done; false: try again after a pause
//   });
//
// The pauses grow from 1 ms to 50 ms, jittered so that waiters that started together spread
// out, and never run past the deadline. A signal handler that raises meanwhile (Ctrl-C) ends
// the wait with its error, as pybind11::error_already_set.
#pragma once

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "host_api/unlocked.hpp"

namespace tarnwell::host {

using Clock = std::chrono::steady_clock;

// Sleeps until `until`, letting signals through at least every ReleasedGil::kSignalInterval.
inline void sleep_until(Clock::time_point until, ReleasedGil &gil) {
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - now, ReleasedGil::kSignalInterval));
        gil.check_signals();
    }
}

// Calls `attempt(last)` until it returns true and then returns true; returns false once an
// attempt made at or after `deadline` (with `last` true) has failed too. `attempt` may throw
// to give up at once. Clock::time_point::max() waits for ever.
template <class Attempt>
bool retry_until(Clock::time_point deadline, ReleasedGil &gil, Attempt &&attempt) {
    constexpr std::chrono::microseconds kFirst{1000};
    constexpr std::chrono::microseconds kMost{50000};
    thread_local std::minstd_rand jitter(std::random_device{}());
    for (auto pause = kFirst;; pause = std::min(pause * 2, kMost)) {
        const auto now = Clock::now();
        if (attempt(now >= deadline)) {
            return true;
        }
        if (now >= deadline) {
            return false;
        }
        const auto jittered = std::chrono::microseconds(
            std::uniform_int_distribution<long>(pause.count() / 2, pause.count() * 3 / 2)(jitter));
        sleep_until(deadline - now > jittered ? now + jittered : deadline, gil);
    }
}

}  // namespace tarnwell::host
