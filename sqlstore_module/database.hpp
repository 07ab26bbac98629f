// What both storage ops share about their database file: checking the path and the lock
// timeout while the interpreter lock is held, then, with it released, taking this thread's
// turn on the file, waiting for other processes, opening it, letting Ctrl-C through, and
// closing it again before the call returns.
//
//   const double timeout = lock_timeout(payload, "duckdb_sql_cpp");   // lock held
//   with_own_database(path, &config, timeout, [&](duckdb::Connection &c, host::ReleasedGil &gil) {
//       ...                                 // lock released; long work calls
//   });                                     // gil.check_signals() now and then
//
// A pending signal surfaces as pybind11::error_already_set holding its Python exception
// (KeyboardInterrupt for Ctrl-C), thrown from check_signals() so that everything in between
// unwinds.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

#include "duckdb.hpp"

#include "host_api/unlocked.hpp"

namespace tarnwell::sqlstore_module {

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

// Throws DuckDB's own exception, whose text is DuckDB's JSON, as for a file that cannot be
// opened, when `result` (a query result or a prepared statement) holds an error.
template <class Result>
void throw_error(Result &result) {
    if (result.HasError()) {
        result.GetErrorObject().Throw();
    }
}

// Runs `statement` and throws DuckDB's exception for its error (see throw_error).
void run(duckdb::Connection &connection, const std::string &statement);

// What a call does on its database, with the interpreter lock released.
using Work = std::function<void(duckdb::Connection &connection, host::ReleasedGil &gil)>;

// Sets up the DuckDB instance that checkpoints attach their files to.
using Configure = void (*)(duckdb::DBConfig &);

// Calls from the interpreter lock's holder: releases it; takes this call's turn on the file at
// `path` among the threads of the process and among processes (see file_turn.hpp: any two
// names of one file take turns); opens the file, creating it whole when missing and waiting
// while another client holds its lock, all within `timeout_seconds` (then DuckDB's lock
// error); runs `work`, and closes the file before the call returns or passes on what `work`
// threw. Closing rolls back a transaction that `work` left open; a file that the call created
// is removed again when it fails. The file is opened
//   - by with_own_database, with a DuckDB instance of its own made with `config` (null:
//     DuckDB's defaults): for SQL steps, whose statements may change their instance;
//   - by with_attached_database, attached to the one in-memory instance that the process
//     keeps for checkpoints, made with `configure` on first use: no DuckDB is started and
//     torn down in every call.
void with_own_database(const std::string &path,
                       duckdb::DBConfig *config,
                       double timeout_seconds,
                       const Work &work);
void with_attached_database(const std::string &path,
                            Configure configure,
                            double timeout_seconds,
                            const Work &work);

}  // namespace tarnwell::sqlstore_module
