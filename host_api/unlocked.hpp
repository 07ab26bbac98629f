// Op work without the interpreter lock: releasing it around long C++ work that touches no
// Python object, taking it back for a moment to let signal handlers run, and parking a
// thread that would take it back while the interpreter exits.
//
//   {
//       tarnwell::host::ReleasedGil released;
//       while (more_work()) {
//           step();
//           released.check_signals();   // Ctrl-C: throws pybind11::error_already_set
//       }
//   }                                    // the lock is held again here
//
// CPython 3.10 ends a thread that wants the lock back after finalisation has begun (a daemon
// thread as the interpreter exits) with pthread_exit. Its forced unwind cannot pass C++
// frames that must take the lock again on their way out, so such a thread parks for good
// where it would have taken the lock: the process is exiting, and the work it leaves
// unfinished was never committed. Newer CPythons park their daemon threads the same way. The
// same can happen wherever an op runs Python code (or_park).
#pragma once

#include <cxxabi.h>

#include <chrono>
#include <optional>
#include <thread>

#include <pybind11/pybind11.h>

namespace tarnwell::host {

// Blocks the calling thread until the process ends.
[[noreturn]] inline void park_for_good() {
    while (true) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

// Returns `call()`, a call into Python code with the interpreter lock held. That code may let
// other threads run and then want the lock back: a thread that CPython ends there parks for
// good before it unwinds through frames that hold Python references, which it could no longer
// release safely. Frames inside `call` still unwind: make it a call of the C API where it can be.
// (The forced unwind has no C++ object for the handler's reference: UBSan's null check is off,
// and stays off only where the function is not inlined.)
template <class Call>
__attribute__((no_sanitize("null"), noinline)) auto or_park(Call &&call) -> decltype(call()) {
    try {
        return call();
    } catch (abi::__forced_unwind &) {
        park_for_good();
    }
}

// Releases the interpreter lock of the calling thread for its lifetime.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ReleasedGil(const ReleasedGil &) = delete;
    ReleasedGil &operator=(const ReleasedGil &) = delete;
    ~ReleasedGil() { take_back(); }

    // Runs the Python handlers of pending signals, with the lock taken back for that moment;
    // throws pybind11::error_already_set when a handler raised (KeyboardInterrupt for
    // Ctrl-C). check_signals does so at most every kSignalInterval, so that tight loops can
    // call it; check_signals_at_once always.
    void check_signals() {
        if (std::chrono::steady_clock::now() >= next_check_) {
            check_signals_at_once();
        }
    }

    void check_signals_at_once() {
        next_check_ = std::chrono::steady_clock::now() + kSignalInterval;
        take_back();
        std::optional<pybind11::error_already_set> error;
        if (PyErr_CheckSignals() != 0) {
            error.emplace();  // takes the Python error while the lock is held
        }
        state_ = PyEval_SaveThread();
        if (error) {
            throw *error;
        }
    }

    static constexpr std::chrono::milliseconds kSignalInterval{20};

private:
    // Takes the lock back, or parks when CPython ends this thread instead (see above).
    void take_back() noexcept {
        or_park([this] { PyEval_RestoreThread(state_); });
    }

    PyThreadState *state_;
    std::chrono::steady_clock::time_point next_check_ = std::chrono::steady_clock::now();
};

}  // namespace tarnwell::host
