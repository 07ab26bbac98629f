// What both storage ops share about their database file: checking the path and the lock
// timeout while the interpreter lock is held, then, with it released, taking this thread's
// turn on the file, waiting for other processes, opening it, letting Ctrl-C through, and
// closing it again before the call returns.
//
//   const double timeout = lock_timeout(payload, "duckdb_sql_cpp");   // lock held
//   with_database(path, options, timeout, [&](duckdb::Connection &c, host::ReleasedGil &gil) {
//       ...                                 // lock released; long work calls
//   });                                     // gil.check_signals() now and then
//
// A pending signal surfaces as pybind11::error_already_set holding its Python exception
// (KeyboardInterrupt for Ctrl-C), thrown from check_signals() so that everything in between
// unwinds.
#pragma once

#include <cxxabi.h>

#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "duckdb.hpp"

#include "host_api/unlocked.hpp"

namespace tarnwell::sqlstore_module {

using Clock = std::chrono::steady_clock;

// Seconds to wait for the database file while others use it: payload["duckdb_lock_timeout"]
// (a non-negative int or float; inf, or an int too large for a float, waits for ever), else 5.
// Throws std::runtime_error naming `op` for anything else. Needs the interpreter lock.
double lock_timeout(const pybind11::dict &payload, const char *op);

// Throws std::runtime_error naming `op` unless `path` names a database file: a NUL byte
// would cut the path short, and "" or ":memory:" would give a database that is gone when
// the call ends.
void check_database_path(const std::string &path, const char *op);

// Throws std::runtime_error "<op> failed: <DuckDB's error>" when `result` (a query result or
// a prepared statement) holds an error.
template <class Result>
void check_result(Result &result, const char *op) {
    if (result.HasError()) {
        throw std::runtime_error(std::string(op) + " failed: " + result.GetError());
    }
}

// Runs `statement` and checks its result (see check_result).
void run(duckdb::Connection &connection, const std::string &statement, const char *op);

// The moment `timeout_seconds` from now; an infinite timeout never comes.
Clock::time_point deadline_after(double timeout_seconds);

// This thread's turn on one database file among the threads of this process: DuckDB's file
// lock keeps other processes out, but not a second instance of the file in this one. Any two
// names of a file take turns: symbolic links, hard links and spellings of one path. Waits
// until `deadline`, then throws DuckDB's lock error, which a thread that holds the turn
// already (a signal handler's call inside a call on the file) gets at once.
class FileTurn {
public:
    FileTurn(const std::string &path, Clock::time_point deadline, host::ReleasedGil &gil);
    FileTurn(const FileTurn &) = delete;
    FileTurn &operator=(const FileTurn &) = delete;
    ~FileTurn();

private:
    std::vector<std::string> keys_;
};

// Sets up the DuckDB instance that checkpoints attach their files to.
using Configure = void (*)(duckdb::DBConfig &);

// A database file open for one call, in one of two ways:
//   - a DuckDB instance of its own, made with a DBConfig (null: DuckDB's defaults): for SQL
//     steps, whose statements may change their instance's settings;
//   - attached, under a name of its own, to the one in-memory instance that the process keeps
//     for checkpoints, made with a Configure on first use: no instance is started and torn
//     down in every call.
// A missing file is created whole, so that others never find it half-written. While another
// process holds the file's lock, opening retries with a growing, jittered back-off until
// `deadline`, then throws DuckDB's lock error; every other error is thrown at once. The file
// is closed (detached) when the session is.
class Session {
public:
    Session(const std::string &path,
            duckdb::DBConfig *config,
            Clock::time_point deadline,
            host::ReleasedGil &gil);
    Session(const std::string &path,
            Configure configure,
            Clock::time_point deadline,
            host::ReleasedGil &gil);
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();

    duckdb::Connection &connection() { return *connection_; }

    // Rolls back a transaction left open and closes the file; throws DuckDB's error if
    // detaching it fails.
    void close();

private:
    void open(const std::string &path,
              Clock::time_point deadline,
              host::ReleasedGil &gil,
              duckdb::DBConfig *config);

    std::unique_ptr<duckdb::DuckDB> own_;
    std::unique_ptr<duckdb::Connection> connection_;
    std::string alias_;  // the attached file's name, or empty
};

// With the interpreter lock released: takes this thread's turn on the file at `path`, opens
// it as `options` says (see Session), all within `timeout_seconds`, and runs
// `work(connection, gil)` on it. The file is closed before what `work` threw is passed on:
// DuckDB skips its clean-up in destructors that run while an exception unwinds, which would
// leave its worker threads on freed query state and a transaction open. Closing rolls back a
// transaction that `work` left open.
template <class Options, class Work>
void with_database(const std::string &path, Options options, double timeout_seconds, Work &&work) {
    const Clock::time_point deadline = deadline_after(timeout_seconds);
    host::ReleasedGil gil;
    const FileTurn turn(path, deadline, gil);
    Session session(path, options, deadline, gil);
    try {
        work(session.connection(), gil);
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        try {
            session.close();
        } catch (const std::exception &) {  // the first error is the one to report
        }
        std::rethrow_exception(error);
    }
    session.close();
}

}  // namespace tarnwell::sqlstore_module
