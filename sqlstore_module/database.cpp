#include "sqlstore_module/database.hpp"

#include <cxxabi.h>
#include <pthread.h>

#include <atomic>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "host_api/waiting.hpp"
#include "sqlstore_module/file_turn.hpp"
#include "sqlstore_module/new_file.hpp"

namespace py = pybind11;

namespace tarnwell::sqlstore_module {
namespace {

constexpr double kDefaultLockTimeout = 5.0;

// Whether opening may succeed later: another process holds the file's lock.
bool held_elsewhere(const std::exception &e) {
    const duckdb::ErrorData error(e);
    return error.Type() == duckdb::ExceptionType::IO
           && error.RawMessage().rfind("Could not set lock on file", 0) == 0;
}

// The in-memory DuckDB instance that checkpoints attach their files to, made on first use,
// and how many calls use it. A child forked while one does makes an instance of its own: the
// first may be in the hands of a thread that the child does not have.
struct Checkpoints {
    std::mutex mutex;
    duckdb::DuckDB *instance = nullptr;
    int users = 0;
};
Checkpoints *g_checkpoints = new Checkpoints;  // never destroyed: threads may use it at exit

const int g_fork_handlers = pthread_atfork([] { g_checkpoints->mutex.lock(); },
                                           [] { g_checkpoints->mutex.unlock(); },
                                           [] {
                                               if (g_checkpoints->users == 0) {
                                                   g_checkpoints->mutex.unlock();
                                               } else {
                                                   g_checkpoints = new Checkpoints;
                                               }
                                           });

// A connection on the checkpoints' instance, counted among its users while it lives.
class CheckpointConnection {
public:
    explicit CheckpointConnection(Configure configure) : shared_(g_checkpoints) {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->instance == nullptr) {
            duckdb::DBConfig config;
            configure(config);
            shared_->instance = new duckdb::DuckDB(nullptr, &config);
        }
        ++shared_->users;
        connection_.emplace(*shared_->instance);
    }
    CheckpointConnection(const CheckpointConnection &) = delete;
    CheckpointConnection &operator=(const CheckpointConnection &) = delete;
    ~CheckpointConnection() {
        connection_.reset();
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        --shared_->users;
    }

    duckdb::Connection &get() { return *connection_; }

private:
    Checkpoints *shared_;
    std::optional<duckdb::Connection> connection_;
};

// Opens the file by `open()`, which throws DuckDB's error when it fails. While another process
// holds the file's lock, tries again until `deadline`, then lets DuckDB's lock error through.
// A file that this call created but had to wait for has been opened by another client: it is
// kept whatever happens next.
void open_file(NewFile &created,
               Clock::time_point deadline,
               host::ReleasedGil &gil,
               const std::function<void()> &open) {
    host::retry_until(deadline, gil, [&](bool last) {
        try {
            open();
            return true;
        } catch (const std::exception &e) {
            if (last || !held_elsewhere(e)) {
                throw;
            }
            created.keep();
            return false;
        }
    });
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

void run(duckdb::Connection &connection, const std::string &statement) {
    throw_error(*connection.Query(statement));
}

void with_own_database(const std::string &path,
                       duckdb::DBConfig *config,
                       double timeout_seconds,
                       const Work &work) {
    const Clock::time_point deadline = deadline_after(timeout_seconds);
    host::ReleasedGil gil;
    const DatabaseFile file = locate_database(path);
    FileTurn turn(file, deadline, gil);
    NewFile created = take_turn(file, turn, deadline, gil);
    std::unique_ptr<duckdb::DuckDB> db;
    open_file(created, deadline, gil,
              [&] { db = std::make_unique<duckdb::DuckDB>(path, config); });
    turn.opened();
    auto connection = std::make_unique<duckdb::Connection>(*db);
    work_then_close(work, *connection, gil, [&] {
        connection.reset();
        db.reset();
    });
    created.keep();
}

void with_attached_database(const std::string &path,
                            Configure configure,
                            double timeout_seconds,
                            const Work &work) {
    static std::atomic<unsigned long> g_attached{0};
    const Clock::time_point deadline = deadline_after(timeout_seconds);
    host::ReleasedGil gil;
    const DatabaseFile file = locate_database(path);
    FileTurn turn(file, deadline, gil);
    NewFile created = take_turn(file, turn, deadline, gil);
    CheckpointConnection checkpoints(configure);
    duckdb::Connection &connection = checkpoints.get();
    const std::string alias = "file" + std::to_string(g_attached++);
    open_file(created, deadline, gil, [&] {
        run(connection, "ATTACH " + duckdb::KeywordHelper::WriteQuoted(path) + " AS " + alias);
    });
    turn.opened();
    const auto use_file = [&](duckdb::Connection &c, host::ReleasedGil &g) {
        run(c, "USE " + alias);
        work(c, g);
    };
    work_then_close(use_file, connection, gil, [&] {
        if (connection.HasActiveTransaction()) {
            (void)connection.Query("ROLLBACK");
        }
        run(connection, "USE memory");
        run(connection, "DETACH " + alias);
    });
    created.keep();
}

}  // namespace tarnwell::sqlstore_module
