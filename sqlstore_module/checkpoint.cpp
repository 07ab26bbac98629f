// duckdb_checkpoint_cpp: stores the payload's values as rows of a per-run, per-step table of
// a DuckDB file and records the step in pipeline_state.
//
// A checkpoint is all or nothing. Every input, the JSON snapshot of the payload and the
// Python strings to write back are made before the database is opened; the data rows and
// the pipeline_state row go in within one transaction; the payload changes only after the
// commit. Any failure leaves the payload and the database file as they were.
#include <cstdint>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "duckdb.hpp"
#include "host_api/pipeline.hpp"
#include "sqlstore_module/ops.hpp"

namespace py = pybind11;

namespace tarnwell::sqlstore_module {
namespace {

// Existing database files and the SQL written against them rely on this exact text.
constexpr char kStateTableStatement[]
    = "CREATE TABLE IF NOT EXISTS pipeline_state ("
      "  run_id       TEXT,"
      "  step         TEXT,"
      "  duckdb_path  TEXT,"
      "  data_table   TEXT,"
      "  payload_json TEXT);";
static_assert(sizeof(kStateTableStatement) - 1 == 144, "the pipeline_state statement is fixed");

constexpr char kInsertState[] = "INSERT INTO pipeline_state (run_id, step, duckdb_path, "
                                "data_table, payload_json) VALUES (?, ?, ?, ?, ?);";

// The text of an optional key: str as UTF-8, bytes and bytearray as they are; any other
// value, None included, is pybind11's cast error. `fallback` only when the key is absent.
std::string get_str_or(const py::dict &payload, const char *key, const std::string &fallback) {
    const py::str name(key);
    if (!payload.contains(name)) {
        return fallback;
    }
    return py::cast<std::string>(payload[name]);
}

// Every byte that is not an ASCII letter, digit or "_" becomes "_"; "" becomes "table".
std::string sanitize_identifier(const std::string &text) {
    static const std::regex kUnsafe("[^A-Za-z0-9_]");
    std::string safe = std::regex_replace(text, kUnsafe, "_");
    return safe.empty() ? "table" : safe;
}

// payload["values"] as doubles; empty when absent or None.
std::vector<double> values_of(const py::dict &payload) {
    if (!payload.contains("values")) {
        return {};
    }
    const py::object values = payload["values"];
    if (values.is_none()) {
        return {};
    }
    try {
        return py::cast<std::vector<double>>(values);
    } catch (const std::exception &e) {
        throw std::runtime_error(
            std::string("duckdb_checkpoint_cpp: payload['values'] must be a sequence of floats: ")
            + e.what());
    }
}

// json.dumps of the payload as it will be once "values" is removed, taken on a copy so
// that the payload itself stays untouched until the commit.
std::string payload_json(const py::dict &payload) {
    const auto snapshot = py::reinterpret_steal<py::dict>(PyDict_Copy(payload.ptr()));
    if (!snapshot) {
        throw py::error_already_set();
    }
    if (snapshot.contains("values")) {
        if (PyDict_DelItemString(snapshot.ptr(), "values") != 0) {
            throw py::error_already_set();
        }
    }
    const py::object dumps = py::module_::import("json").attr("dumps");
    return py::cast<std::string>(dumps(snapshot));
}

[[noreturn]] void fail(const std::string &error) {
    throw std::runtime_error("duckdb_checkpoint_cpp failed: " + error);
}

void run(duckdb::Connection &connection, const std::string &statement) {
    const auto result = connection.Query(statement);
    if (result->HasError()) {
        fail(result->GetError());
    }
}

// A transaction on one connection, rolled back unless committed.
class Transaction {
public:
    explicit Transaction(duckdb::Connection &connection) : connection_(connection) {
        run(connection_, "BEGIN TRANSACTION");
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    ~Transaction() {
        if (!committed_) {
            try {
                connection_.Query("ROLLBACK");
            } catch (...) {  // the error that got us here is the one to report
            }
        }
    }

    void commit() {
        committed_ = true;  // a failed COMMIT ends the transaction too
        run(connection_, "COMMIT");
    }

private:
    duckdb::Connection &connection_;
    bool committed_ = false;
};

struct Checkpoint {
    std::string run_id;
    std::string step;
    std::string path;
    std::string table;
    std::vector<double> values;
    std::int64_t sample_id = 0;
    std::string payload_json;
};

void store(const Checkpoint &c) {
    duckdb::DuckDB db(c.path, nullptr);
    duckdb::Connection connection(db);
    Transaction transaction(connection);
    run(connection,
        "CREATE TABLE IF NOT EXISTS " + c.table + " (idx BIGINT, value DOUBLE, sample_id BIGINT);");
    {
        duckdb::Appender appender(connection, c.table);
        for (std::size_t i = 0; i < c.values.size(); ++i) {
            appender.BeginRow();
            appender.Append<std::int64_t>(static_cast<std::int64_t>(i));
            appender.Append<double>(c.values[i]);
            appender.Append<std::int64_t>(c.sample_id);
            appender.EndRow();
        }
        appender.Close();
    }
    run(connection, kStateTableStatement);
    {
        const auto insert = connection.Prepare(kInsertState);
        if (insert->HasError()) {
            fail(insert->GetError());
        }
        // Explicit VARCHAR values: plain std::string arguments would bind as BLOB.
        duckdb::vector<duckdb::Value> row{
            duckdb::Value(c.run_id), duckdb::Value(c.step), duckdb::Value(c.path),
            duckdb::Value(c.table), duckdb::Value(c.payload_json)};
        const auto result = insert->Execute(row, /*allow_stream_result=*/true);
        if (result->HasError()) {
            fail(result->GetError());
        }
    }
    transaction.commit();
}

}  // namespace

void duckdb_checkpoint_cpp(pipeline::Data &data) {
    const py::dict payload = data.payload;
    if (!payload.contains("run_id")) {
        throw std::runtime_error("duckdb_checkpoint_cpp requires payload['run_id']");
    }
    Checkpoint c;
    c.run_id = py::cast<std::string>(payload["run_id"]);
    c.step = get_str_or(payload, "step", "C");
    c.path = get_str_or(payload, "duckdb_path", "work.duckdb");
    c.values = values_of(payload);
    if (payload.contains("sample_id")) {
        c.sample_id = py::cast<std::int64_t>(payload["sample_id"]);
    }
    c.table = "data_" + sanitize_identifier(c.run_id) + "_" + sanitize_identifier(c.step);
    c.payload_json = payload_json(payload);
    const py::str path_text(c.path);
    const py::str table_text(c.table);

    store(c);

    if (payload.contains("values")) {
        payload.attr("pop")("values", py::none());
    }
    payload["duckdb_path"] = path_text;
    payload["data_table"] = table_text;
    data.payload = payload;
}

}  // namespace tarnwell::sqlstore_module
