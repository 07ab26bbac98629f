// What both storage ops share about their database file: checking the path and the lock
// timeout while the interpreter lock is held, then, with it released, taking this thread's
// turn on the file, waiting for other processes, opening it and letting Ctrl-C through.
//
//   const double timeout = lock_timeout(payload, "duckdb_sql_cpp");   // lock held
//   with_database(path, nullptr, timeout, [&](duckdb::Connection &c, host::ReleasedGil &gil) {
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

// Opens the database at `path` with `config` (null: DuckDB's defaults), creating a missing
// file whole, so that others never find it half-written. While another process holds the
// file's lock, retries with a growing, jittered back-off until `deadline`, then throws
// DuckDB's lock error; every other error is thrown at once.
std::unique_ptr<duckdb::DuckDB> open_database(const std::string &path,
                                              duckdb::DBConfig *config,
                                              Clock::time_point deadline,
                                              host::ReleasedGil &gil);

// The moment `timeout_seconds` from now; an infinite timeout never comes.
Clock::time_point deadline_after(double timeout_seconds);

// With the interpreter lock released: takes this thread's turn on the file at `path`, opens
// it (see open_database), all within `timeout_seconds`, and runs `work(connection, gil)` on a
// connection to it. The connection and the database are closed before what `work` threw is
// passed on: DuckDB skips its clean-up in destructors that run while an exception unwinds,
// which would leave its worker threads on freed query state and a transaction open. Closing
// the connection rolls back a transaction that `work` left open.
template <class Work>
void with_database(const std::string &path,
                   duckdb::DBConfig *config,
                   double timeout_seconds,
                   Work &&work) {
    const Clock::time_point deadline = deadline_after(timeout_seconds);
    host::ReleasedGil gil;
    const FileTurn turn(path, deadline, gil);
    std::exception_ptr error;
    {
        const auto db = open_database(path, config, deadline, gil);
        duckdb::Connection connection(*db);
        try {
            work(connection, gil);
        } catch (abi::__forced_unwind &) {
            throw;
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

}  // namespace tarnwell::sqlstore_module
