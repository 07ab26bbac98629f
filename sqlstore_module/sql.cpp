// duckdb_sql_cpp: runs an SQL text from the payload's data table to its output table on the
// payload's DuckDB file, then moves payload["data_table"] on to the output table.
//
// The payload is read first; the interpreter lock is then released for the wait, the open, the
// statements and the close. Result rows are streamed and dropped, never collected, so a text
// ending in a large SELECT runs in flat memory.
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "duckdb.hpp"

#include "host_api/pipeline.hpp"
#include "sqlstore_module/database.hpp"
#include "sqlstore_module/ops.hpp"

namespace py = pybind11;

namespace tarnwell::sqlstore_module {
namespace {

constexpr char kOp[] = "duckdb_sql_cpp";
constexpr const char *kRequiredKeys[] = {"duckdb_path", "data_table", "sql", "out_table"};

[[noreturn]] void fail(const std::string &error) {
    throw std::runtime_error(std::string(kOp) + " failed: " + error);
}

// DuckDB as SQL steps get it: its defaults, for whatever their statements need (extensions,
// threads), but the metadata of tables that a commit leaves alone reused rather than written
// anew, as checkpoints do.
void sql_config(duckdb::DBConfig &config) {
    config.SetOptionByName("experimental_metadata_reuse", duckdb::Value::BOOLEAN(true));
}

// `text` with every `placeholder` replaced by `name`, in one pass: the search goes on after
// the inserted name, so inserted text is never searched again.
std::string fill_in(const std::string &text,
                    const std::string &placeholder,
                    const std::string &name) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, from)) {
        out.append(text, from, at - from).append(name);
        from = at + placeholder.size();
    }
    return out.append(text, from, std::string::npos);
}

// Runs one statement to its end, letting signals through between tasks. Rows of a result are
// fetched and dropped chunk by chunk, so that every error (and the commit) is seen without
// the rows being kept. When a signal handler raises, DuckDB is asked to interrupt the
// statement and ends it as it ends a failed one (a statement left unfinished would keep, and
// leak, its state); the handler's error then leaves in place of DuckDB's.
void run_statement(duckdb::Connection &connection,
                   duckdb::unique_ptr<duckdb::SQLStatement> statement,
                   host::ReleasedGil &gil) {
    std::optional<py::error_already_set> signalled;
    // Whether no signal handler has raised yet; the first that does interrupts the statement.
    const auto go_on = [&] {
        try {
            if (!signalled) {
                gil.check_signals();
            }
        } catch (const py::error_already_set &e) {
            signalled = e;
            connection.Interrupt();
        }
        return !signalled;
    };
    const auto pending
        = connection.PendingQuery(std::move(statement), /*allow_stream_result=*/true);
    check_result(*pending, kOp);
    duckdb::PendingExecutionResult state;
    do {
        state = pending->ExecuteTask();
        if (state == duckdb::PendingExecutionResult::BLOCKED) {
            pending->WaitForTask();
        }
        go_on();
    } while (!duckdb::PendingQueryResult::IsResultReady(state));
    if (go_on() && !pending->HasError()) {
        const auto result = pending->Execute();
        while (result->FetchRaw() != nullptr) {
            go_on();
        }
        if (go_on()) {
            check_result(*result, kOp);
        }
    }
    if (signalled) {
        throw *signalled;
    }
    check_result(*pending, kOp);
}

// Runs every statement of `sql` in order; a text that leaves a transaction open is rolled back
// and refused, since closing the file would silently undo its work.
void run_script(duckdb::Connection &connection, const std::string &sql, host::ReleasedGil &gil) {
    duckdb::vector<duckdb::unique_ptr<duckdb::SQLStatement>> statements;
    try {
        statements = connection.ExtractStatements(sql);
    } catch (const std::exception &e) {
        duckdb::ErrorData error(e);
        error.AddErrorLocation(sql);
        fail(error.Message());
    }
    for (auto &statement : statements) {
        run_statement(connection, std::move(statement), gil);
    }
    if (!connection.IsAutoCommit()) {
        fail("the SQL left a transaction open");  // rolled back as the connection closes
    }
}

}  // namespace

void duckdb_sql_cpp(pipeline::Data &data) {
    const py::dict payload = data.payload;
    for (const char *key : kRequiredKeys) {
        if (!payload.contains(key)) {
            throw std::runtime_error(std::string(kOp) + " requires payload['" + key + "']");
        }
    }
    const auto path = py::cast<std::string>(payload["duckdb_path"]);
    const auto in_table = py::cast<std::string>(payload["data_table"]);
    const auto text = py::cast<std::string>(payload["sql"]);
    const auto out_table = py::cast<std::string>(payload["out_table"]);
    check_database_path(path, kOp);
    const double timeout = lock_timeout(payload, kOp);
    // Decoded before the database is touched: an output name that cannot become the new
    // "data_table" must not leave its SQL applied.
    const py::str new_data_table(out_table);
    const std::string sql
        = fill_in(fill_in(text, "{in_table}", in_table), "{out_table}", out_table);
    duckdb::DBConfig config;
    sql_config(config);
    with_own_database(path, &config, timeout,
                      [&](duckdb::Connection &connection, host::ReleasedGil &gil) {
                          run_script(connection, sql, gil);
                      });
    payload["data_table"] = new_data_table;
}

}  // namespace tarnwell::sqlstore_module
