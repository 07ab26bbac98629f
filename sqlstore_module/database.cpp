#include "sqlstore_module/database.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace py = pybind11;
namespace fs = std::filesystem;

namespace tarnwell::sqlstore_module {
namespace {

using Clock = std::chrono::steady_clock;

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
// writes it, and another process that opens it in between finds no database in it; so an
// empty database is written under a temporary name beside it, and a hard link puts it in
// place unless a file is there by then. Where that cannot be done (no such folder, no hard
// links), DuckDB's own open creates the file.
void create_whole(const fs::path &target) {
    static std::atomic<unsigned> g_count{0};
    const fs::path temporary = target.parent_path()
                               / ("." + target.filename().string() + ".new-"
                                  + std::to_string(::getpid()) + "-" + std::to_string(g_count++));
    try {
        duckdb::DBConfig config;
        config.options.load_extensions = false;  // only the file is wanted
        { const duckdb::DuckDB written(temporary.string(), &config); }
        (void)::link(temporary.c_str(), target.c_str());
    } catch (const std::exception &) {  // DuckDB's open of the file itself says what is wrong
    }
    std::error_code ignored;
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

// What the storage ops share within the process: the turns of its threads on database files,
// by the names under which they hold them (see turn_keys), and the in-memory DuckDB instance
// that checkpoints attach their files to. A child forked while a thread holds a turn starts
// afresh: that thread does not exist in it, and the instance may be in its hands.
struct Shared {
    std::mutex mutex;
    std::condition_variable released;
    std::map<std::string, std::thread::id> held;
    duckdb::DuckDB *checkpoints = nullptr;
};
Shared *g_shared = new Shared;  // never destroyed: threads may be inside it at exit

const int g_fork_handlers = pthread_atfork([] { g_shared->mutex.lock(); },
                                           [] { g_shared->mutex.unlock(); },
                                           [] {
                                               if (g_shared->held.empty()) {
                                                   g_shared->mutex.unlock();
                                               } else {
                                                   g_shared = new Shared;
                                               }
                                           });

duckdb::DuckDB &checkpoint_instance(Configure configure) {
    const std::lock_guard<std::mutex> lock(g_shared->mutex);
    if (g_shared->checkpoints == nullptr) {
        duckdb::DBConfig config;
        configure(config);
        g_shared->checkpoints = new duckdb::DuckDB(nullptr, &config);
    }
    return *g_shared->checkpoints;
}

// Runs `statement`; throws DuckDB's own exception for its error.
void run_or_throw(duckdb::Connection &connection, const std::string &statement) {
    const auto result = connection.Query(statement);
    if (result->HasError()) {
        result->GetErrorObject().Throw();
    }
}

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

// The moment `timeout_seconds` from now; an infinite timeout never comes.
Clock::time_point deadline_after(double timeout_seconds) {
    constexpr double kForever = 1e9;  // about 30 years, far from the clock's end
    if (!(timeout_seconds < kForever)) {
        return Clock::time_point::max();
    }
    return Clock::now()
           + std::chrono::duration_cast<Clock::duration>(
               std::chrono::duration<double>(timeout_seconds));
}

// This thread's turn on one database file among the threads of this process: DuckDB's file
// lock keeps other processes out, but not a second instance of the file in this one. Any two
// names of a file take turns (see turn_keys). Waits until `deadline`, then throws DuckDB's
// lock error, which a thread that holds the turn already (a signal handler's call inside a
// call on the file) gets at once.
class FileTurn {
public:
    FileTurn(const std::string &path, Clock::time_point deadline, host::ReleasedGil &gil) {
        const auto me = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(g_shared->mutex);
        while (true) {
            // Named anew on every try: the file may have been created meanwhile.
            keys_ = turn_keys(path);
            bool taken = false;
            for (const std::string &key : keys_) {
                const auto holder = g_shared->held.find(key);
                if (holder == g_shared->held.end()) {
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
            const auto slice
                = std::min(deadline, Clock::now() + host::ReleasedGil::kSignalInterval);
            if (g_shared->released.wait_until(lock, slice) == std::cv_status::timeout) {
                lock.unlock();
                gil.check_signals();
                lock.lock();
            }
        }
        for (const std::string &key : keys_) {
            g_shared->held.emplace(key, me);
        }
    }
    FileTurn(const FileTurn &) = delete;
    FileTurn &operator=(const FileTurn &) = delete;

    ~FileTurn() {
        {
            const std::lock_guard<std::mutex> lock(g_shared->mutex);
            for (const std::string &key : keys_) {
                g_shared->held.erase(key);
            }
        }
        g_shared->released.notify_all();
    }

private:
    std::vector<std::string> keys_;
};

// Opens the file at `path` by `open()`, which throws DuckDB's error when it fails: creates it
// whole first when it is missing, and while another process holds its lock, tries again with
// a growing, jittered back-off until `deadline`, then lets DuckDB's lock error through.
void open_file(const std::string &path,
               Clock::time_point deadline,
               host::ReleasedGil &gil,
               const std::function<void()> &open) {
    std::error_code ignored;
    if (const fs::path target = final_target(path); !fs::exists(target, ignored)) {
        create_whole(target);
    }
    thread_local std::minstd_rand jitter(std::random_device{}());
    for (double backoff = kFirstBackoff;; backoff = std::min(backoff * 2.0, kMaxBackoff)) {
        try {
            return open();
        } catch (const std::exception &e) {
            const auto now = Clock::now();
            if (now >= deadline || !held_elsewhere(e)) {
                throw;
            }
            const auto pause
                = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    backoff * std::uniform_real_distribution<double>(0.5, 1.5)(jitter)));
            sleep_for(std::min<Clock::duration>(pause, deadline - now), gil);
        }
    }
}

// Runs `work` on `connection`, then `close()`, which closes the file. The file is closed
// before what `work` threw is passed on: DuckDB skips its clean-up in destructors that run
// while an exception unwinds, which would leave its worker threads on freed query state and
// a transaction open.
void work_then_close(const Work &work,
                     duckdb::Connection &connection,
                     host::ReleasedGil &gil,
                     const std::function<void()> &close) {
    try {
        work(connection, gil);
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        try {
            close();
        } catch (const std::exception &) {  // the first error is the one to report
        }
        std::rethrow_exception(error);
    }
    close();
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

void run(duckdb::Connection &connection, const std::string &statement, const char *op) {
    check_result(*connection.Query(statement), op);
}

void with_own_database(const std::string &path,
                       duckdb::DBConfig *config,
                       double timeout_seconds,
                       const Work &work) {
    const Clock::time_point deadline = deadline_after(timeout_seconds);
    host::ReleasedGil gil;
    const FileTurn turn(path, deadline, gil);
    std::unique_ptr<duckdb::DuckDB> db;
    open_file(path, deadline, gil, [&] { db = std::make_unique<duckdb::DuckDB>(path, config); });
    auto connection = std::make_unique<duckdb::Connection>(*db);
    work_then_close(work, *connection, gil, [&] {
        connection.reset();
        db.reset();
    });
}

void with_attached_database(const std::string &path,
                            Configure configure,
                            double timeout_seconds,
                            const Work &work) {
    static std::atomic<unsigned long> g_attached{0};
    const Clock::time_point deadline = deadline_after(timeout_seconds);
    host::ReleasedGil gil;
    const FileTurn turn(path, deadline, gil);
    duckdb::Connection connection(checkpoint_instance(configure));
    const std::string alias = "file" + std::to_string(g_attached++);
    open_file(path, deadline, gil, [&] {
        run_or_throw(connection,
                     "ATTACH " + duckdb::KeywordHelper::WriteQuoted(path) + " AS " + alias);
    });
    const auto use_file = [&](duckdb::Connection &c, host::ReleasedGil &g) {
        run_or_throw(c, "USE " + alias);
        work(c, g);
    };
    work_then_close(use_file, connection, gil, [&] {
        if (connection.HasActiveTransaction()) {
            (void)connection.Query("ROLLBACK");
        }
        run_or_throw(connection, "USE memory");
        run_or_throw(connection, "DETACH " + alias);
    });
}

}  // namespace tarnwell::sqlstore_module
