#include "sqlstore_module/lock_wait.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/statfs.h>
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

// Whether `fd` is on NFS, which emulates flock with an fcntl lock of the whole file.
bool flock_is_emulated(int fd) {
    constexpr long kNfsMagic = 0x6969;
    struct statfs where {};
    return ::fstatfs(fd, &where) == 0 && where.f_type == kNfsMagic;
}

// Takes a lock by `take(block)`, a call that returns 0 once the lock is taken, or -1 with
// errno (EAGAIN or EACCES while another holds it, EINTR when interrupted). Returns whether it
// was taken before `deadline`; false also when `take` fails otherwise (a file system without
// such locks).
template <class Take>
bool wait_for_lock(Clock::time_point deadline, host::ReleasedGil &gil, Take &&take) {
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

}  // namespace

bool queue_up(int fd, Clock::time_point deadline, host::ReleasedGil &gil) {
    return !flock_is_emulated(fd) && wait_for_lock(deadline, gil, [&](bool block) {
        return ::flock(fd, block ? LOCK_EX : LOCK_EX | LOCK_NB);
    });
}

void wait_until_unlocked(int fd, Clock::time_point deadline, host::ReleasedGil &gil) {
    struct flock whole {};
    whole.l_type = F_RDLCK;
    whole.l_whence = SEEK_SET;
    const bool taken = wait_for_lock(deadline, gil, [&](bool block) {
        return ::fcntl(fd, block ? F_OFD_SETLKW : F_OFD_SETLK, &whole);
    });
    if (taken) {
        whole.l_type = F_UNLCK;
        (void)::fcntl(fd, F_OFD_SETLK, &whole);
    }
}

}  // namespace tarnwell::sqlstore_module
