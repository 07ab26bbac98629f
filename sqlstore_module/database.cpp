#include "sqlstore_module/database.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace py = pybind11;
namespace fs = std::filesystem;

namespace tarnwell::sqlstore_module {
namespace {

constexpr double kDefaultLockTimeout = 5.0;
constexpr double kFirstBackoff = 0.001;  // seconds
constexpr double kMaxBackoff = 0.050;

[[noreturn]] void throw_lock_error(const std::string &path, const std::string &holder) {
    throw duckdb::IOException("Could not set lock on file \"" + path
                              + "\": Conflicting lock is held by " + holder);
}

// Whether opening may succeed later: another process holds the file's lock.
bool held_elsewhere(const std::exception &e) {
    const duckdb::ErrorData error(e);
    return error.Type() == duckdb::ExceptionType::IO
           && error.RawMessage().rfind("Could not set lock on file", 0) == 0;
}

// The file that `path` names in the end: symbolic links followed, also when they dangle.
fs::path final_target(const std::string &path) {
    std::error_code error;
    fs::path target = fs::absolute(path, error);
    for (int hops = 0; hops < 40 && fs::is_symlink(target, error); ++hops) {
        target = target.parent_path() / fs::read_symlink(target, error);  // absolute: replaces
    }
    const fs::path resolved = fs::weakly_canonical(target, error);
    return error ? target : resolved;
}

// Creates a new database file at `target` whole. DuckDB creates a file before it locks and
// writes it, and another process that opens it in between finds no database in it; so the
// database is written under a temporary name beside it, and a hard link puts it in place
// unless a file is there by then. Where that cannot be done (no such folder, no hard links),
// DuckDB's own open creates the file.
void create_whole(const fs::path &target, duckdb::DBConfig *config) {
    static std::atomic<unsigned> g_count{0};
    const fs::path temporary = target.parent_path()
                               / ("." + target.filename().string() + ".new-"
                                  + std::to_string(::getpid()) + "-" + std::to_string(g_count++));
    std::error_code ignored;
    try {
        {
            const duckdb::DuckDB written(temporary.string(), config);  // closed when it goes
        }
        (void)::link(temporary.c_str(), target.c_str());
    } catch (const std::exception &) {  // DuckDB's open of the file itself says what is wrong
    }
    fs::remove(temporary, ignored);
}

// Sleeps for `duration`, letting signals through.
void sleep_for(Clock::duration duration, host::ReleasedGil &gil) {
    const auto until = Clock::now() + duration;
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - now, host::ReleasedGil::kSignalInterval));
        gil.check_signals();
    }
}

// The threads of this process that work on a database file, by the names under which they
// hold it (see turn_keys), so that others wait. A forked child starts with a table of its own:
// the threads that held the parent's turns do not exist in it.
struct Turns {
    std::mutex mutex;
    std::condition_variable released;
    std::map<std::string, std::thread::id> held;
};
Turns *g_turns = new Turns;  // never destroyed: threads may hold turns at exit

const int g_fork_handlers = pthread_atfork([] { g_turns->mutex.lock(); },
                                           [] { g_turns->mutex.unlock(); },
                                           [] {
                                               if (g_turns->held.empty()) {
                                                   g_turns->mutex.unlock();
                                               } else {
                                                   g_turns = new Turns;
                                               }
                                           });

// The names that every name of the file at `path` agrees on: the path of its final target
// and, when the file exists, its device and inode, which hard links share.
std::vector<std::string> turn_keys(const std::string &path) {
    std::vector<std::string> keys{"path " + final_target(path).string()};
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        keys.push_back("file " + std::to_string(status.st_dev) + ":"
                       + std::to_string(status.st_ino));
    }
    return keys;
}

}  // namespace

double lock_timeout(const py::dict &payload, const char *op) {
    const py::str key("duckdb_lock_timeout");
    if (!payload.contains(key)) {
        return kDefaultLockTimeout;
    }
    const py::object value = payload[key];
    double seconds = -1.0;
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        int overflow = 0;
        const long long whole = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        seconds = overflow > 0   ? std::numeric_limits<double>::infinity()
                  : overflow < 0 ? -1.0
                                 : static_cast<double>(whole);
    } else if (PyFloat_Check(value.ptr())) {
        seconds = PyFloat_AS_DOUBLE(value.ptr());
    }
    if (!(seconds >= 0.0)) {  // NaN too
        throw std::runtime_error(std::string(op)
                                 + ": payload['duckdb_lock_timeout'] must be a non-negative "
                                   "number of seconds");
    }
    return seconds;
}

void check_database_path(const std::string &path, const char *op) {
    if (path.find('\0') != std::string::npos) {
        throw std::runtime_error(std::string(op)
                                 + ": payload['duckdb_path'] must not contain a NUL byte");
    }
    if (duckdb::DBConfig::IsInMemoryDatabase(path.c_str())) {
        throw std::runtime_error(std::string(op)
                                 + ": payload['duckdb_path'] must name a file, not an in-memory"
                                   " database: '"
                                 + path + "'");
    }
}

Clock::time_point deadline_after(double timeout_seconds) {
    constexpr double kForever = 1e9;  // about 30 years, far from the clock's end
    if (!(timeout_seconds < kForever)) {
        return Clock::time_point::max();
    }
    return Clock::now()
           + std::chrono::duration_cast<Clock::duration>(
               std::chrono::duration<double>(timeout_seconds));
}

FileTurn::FileTurn(const std::string &path, Clock::time_point deadline, host::ReleasedGil &gil) {
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(g_turns->mutex);
    while (true) {
        // Named anew on every try: the file may have been created meanwhile.
        keys_ = turn_keys(path);
        bool taken = false;
        for (const std::string &key : keys_) {
            const auto holder = g_turns->held.find(key);
            if (holder == g_turns->held.end()) {
                continue;
            }
            if (holder->second == me) {
                throw_lock_error(path, "this thread, in the call that this one interrupted");
            }
            taken = true;
        }
        if (!taken) {
            break;
        }
        if (Clock::now() >= deadline) {
            throw_lock_error(path, "another thread of this process (PID "
                                       + std::to_string(::getpid()) + ")");
        }
        const auto slice = std::min(deadline, Clock::now() + host::ReleasedGil::kSignalInterval);
        if (g_turns->released.wait_until(lock, slice) == std::cv_status::timeout) {
            lock.unlock();
            gil.check_signals();
            lock.lock();
        }
    }
    for (const std::string &key : keys_) {
        g_turns->held.emplace(key, me);
    }
}

FileTurn::~FileTurn() {
    {
        const std::lock_guard<std::mutex> lock(g_turns->mutex);
        for (const std::string &key : keys_) {
            g_turns->held.erase(key);
        }
    }
    g_turns->released.notify_all();
}

std::unique_ptr<duckdb::DuckDB> open_database(const std::string &path,
                                              duckdb::DBConfig *config,
                                              Clock::time_point deadline,
                                              host::ReleasedGil &gil) {
    const fs::path target = final_target(path);
    std::error_code ignored;
    if (!fs::exists(target, ignored)) {
        create_whole(target, config);
    }
    thread_local std::minstd_rand jitter(std::random_device{}());
    double backoff = kFirstBackoff;
    while (true) {
        try {
            return std::make_unique<duckdb::DuckDB>(path, config);
        } catch (const std::exception &e) {
            const auto now = Clock::now();
            if (now >= deadline || !held_elsewhere(e)) {
                throw;
            }
            const auto pause
                = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    backoff * std::uniform_real_distribution<double>(0.5, 1.5)(jitter)));
            sleep_for(std::min<Clock::duration>(pause, deadline - now), gil);
            backoff = std::min(backoff * 2.0, kMaxBackoff);
        }
    }
}

}  // namespace tarnwell::sqlstore_module
