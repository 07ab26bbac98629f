#include "sqlstore_module/lock_wait.hpp"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "host_api/waiting.hpp"

#ifndef sigev_notify_thread_id  // glibc before 2.38 names the member only
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace tarnwell::sqlstore_module {
namespace {

using Clock = std::chrono::steady_clock;

// Interrupts the blocking calls of the thread that makes it, every ReleasedGil::kSignalInterval
// and at `deadline`, through a timer signal whose handler does nothing. It works only while
// that signal is ours: left at its default action when first needed, it is given a handler that
// does nothing; otherwise the Ticker does not run (`running()` is false).
class Ticker {
public:
    explicit Ticker(Clock::time_point deadline) {
        static const bool g_ours = take_signal();
        if (!g_ours) {
            return;
        }
        sigset_t tick;
        sigemptyset(&tick);
        sigaddset(&tick, signal_number());
        pthread_sigmask(SIG_UNBLOCK, &tick, &mask_);
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = signal_number();
        event.sigev_notify_thread_id = ::gettid();
        if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) {
            pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
            return;
        }
        running_ = true;
        const auto interval = host::ReleasedGil::kSignalInterval;
        const auto first = std::max<Clock::duration>(
            std::chrono::microseconds(1),
            std::min<Clock::duration>(deadline - Clock::now(), interval));
        itimerspec when{};
        when.it_interval = timespec_of(interval);
        when.it_value = timespec_of(first);
        timer_settime(timer_, 0, &when, nullptr);
    }
    Ticker(const Ticker &) = delete;
    Ticker &operator=(const Ticker &) = delete;
    ~Ticker() {
        if (running_) {
            timer_delete(timer_);  // a tick still pending arrives before this returns
            pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
        }
    }

    bool running() const { return running_; }

private:
    static int signal_number() { return SIGRTMAX - 3; }

    static bool take_signal() {
        struct sigaction current {};
        if (sigaction(signal_number(), nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
            return false;
        }
        struct sigaction nothing {};
        nothing.sa_handler = [](int) {};
        sigemptyset(&nothing.sa_mask);
        nothing.sa_flags = 0;  // no SA_RESTART: the interrupted call returns EINTR
        return sigaction(signal_number(), &nothing, nullptr) == 0;
    }

    static timespec timespec_of(Clock::duration duration) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
        return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }

    timer_t timer_{};
    sigset_t mask_{};
    bool running_ = false;
};

}  // namespace

bool wait_for_lock(Clock::time_point deadline,
                   host::ReleasedGil &gil,
                   const std::function<int(bool block)> &take) {
    const auto busy = [] { return errno == EAGAIN || errno == EACCES || errno == EINTR; };
    if (take(false) == 0) {
        return true;
    }
    if (!busy()) {
        return false;
    }
    const Ticker ticker(deadline);
    if (!ticker.running()) {
        bool held = false;
        host::retry_until(deadline, gil, [&](bool) {
            held = take(false) == 0;
            return held || !busy();
        });
        return held;
    }
    while (take(true) != 0) {
        if (errno != EINTR || Clock::now() >= deadline) {
            return false;
        }
        gil.check_signals();
    }
    return true;
}

}  // namespace tarnwell::sqlstore_module
