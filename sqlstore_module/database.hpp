// What both storage ops share about their database file: checking the path and the lock
// timeout while the interpreter lock is held, then, with it released, waiting for the file,
// opening it and letting Ctrl-C through.
//
//   const double timeout = lock_timeout(payload, "duckdb_sql_cpp");   // lock held
//   {
//       py::gil_scoped_release released;
//       with_database(path, nullptr, timeout, [&](duckdb::Connection &c, SignalCheck &check) {
//           ...                                  // long work calls check() now and then
//       });
//   }
//
// A pending signal surfaces as pybind11::error_already_set holding its Python exception
// (KeyboardInterrupt for Ctrl-C), thrown from check() so that everything in between unwinds.
#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include <pybind11/pybind11.h>

#include "duckdb.hpp"

namespace tarnwell::sqlstore_module {

// Seconds to wait for another process's lock on the database file: payload
// ["duckdb_lock_timeout"] (a non-negative int or float; inf waits for ever), else 5. Throws
// std::runtime_error naming `op` for anything else. Needs the interpreter lock.
double lock_timeout(const pybind11::dict &payload, const char *op);

// Throws std::runtime_error naming `op` unless `path` names a database file: a NUL byte
// would cut the path short, and "" or ":memory:" would give a database that is gone when
// the call ends.
void check_database_path(const std::string &path, const char *op);

// Checks for pending signals from code that runs with the interpreter lock released. Takes
// the lock briefly for each check; the call operator checks at most every few tens of
// milliseconds, now() at once.
class SignalCheck {
public:
    // Throws pybind11::error_already_set when a signal handler raised.
    void operator()() {
        if (std::chrono::steady_clock::now() >= next_) {
            now();
        }
    }
    void now();

private:
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now();
};

// This thread's turn on one database file among the threads of this process: DuckDB's file
// lock keeps other processes out but not a second instance in the same process. Waits as
// long as it takes, checking for signals.
class FileTurn {
public:
    FileTurn(const std::string &path, SignalCheck &check);
    FileTurn(const FileTurn &) = delete;
    FileTurn &operator=(const FileTurn &) = delete;
    ~FileTurn();

private:
    void leave() noexcept;

    std::string key_;
    std::shared_ptr<std::timed_mutex> slot_;
};

// Opens the database at `path` with `config` (null: DuckDB's defaults). While another process
// holds the file's lock it retries, with a growing, jittered back-off, until `timeout_seconds`
// have passed, then throws DuckDB's lock error; every other error is thrown at once.
std::unique_ptr<duckdb::DuckDB> open_database(const std::string &path,
                                              duckdb::DBConfig *config,
                                              double timeout_seconds,
                                              SignalCheck &check);

// Takes this thread's turn on the file at `path`, opens it (see open_database) and runs
// `work(connection, check)` on a connection to it. The connection and the database are closed
// before what `work` threw is passed on: DuckDB skips its clean-up in destructors that run
// while an exception unwinds, which would leave its worker threads on freed query state and a
// transaction open. Closing the connection rolls back a transaction that `work` left open.
template <class Work>
void with_database(const std::string &path,
                   duckdb::DBConfig *config,
                   double timeout_seconds,
                   Work &&work) {
    SignalCheck check;
    const FileTurn turn(path, check);
    std::exception_ptr error;
    {
        const auto db = open_database(path, config, timeout_seconds, check);
        duckdb::Connection connection(*db);
        try {
            work(connection, check);
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

}  // namespace tarnwell::sqlstore_module
