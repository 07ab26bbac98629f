// duckdb_checkpoint_cpp: stores the payload's values as rows of a per-run, per-step table of
// a DuckDB file and records the step in pipeline_state.
//
// A checkpoint is all or nothing. Every input, the JSON snapshot of the payload and the
// Python strings to write back are made before the database is opened; the interpreter lock
// is then released while the data rows and the pipeline_state row go in within one
// transaction; the payload changes only after the commit. Any failure leaves the database
// file as it was and the payload too, except that values which reading used up (a generator)
// come back as a list.
#include <algorithm>
#include <cstdint>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "duckdb.hpp"

#include "host_api/pipeline.hpp"
#include "sqlstore_module/database.hpp"
#include "sqlstore_module/ops.hpp"

namespace py = pybind11;

namespace tarnwell::sqlstore_module {
namespace {

constexpr char kOp[] = "duckdb_checkpoint_cpp";

// Existing database files and the SQL written against them rely on this exact text.
constexpr char kStateTableStatement[] = "CREATE TABLE IF NOT EXISTS pipeline_state ("
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
    throw std::runtime_error(std::string(kOp) + " failed: " + error);
}

void run(duckdb::Connection &connection, const std::string &statement) {
    const auto result = connection.Query(statement);
    if (result->HasError()) {
        fail(result->GetError());
    }
}

struct Checkpoint {
    std::string run_id;
    std::string step;
    std::string path;
    std::string table;
    std::vector<double> values;
    std::int64_t sample_id = 0;
    std::string payload_json;
    double lock_timeout = 0.0;
};

// DuckDB as the checkpoint needs it: none of the extensions (its statements use none), one
// thread, and the checkpoint written at commit rather than a write-ahead log first. The file
// format stays DuckDB's default, readable by every DuckDB from 1.0 on.
void make_lean(duckdb::DBConfig &config) {
    config.options.load_extensions = false;
    config.options.autoload_known_extensions = false;
    config.options.autoinstall_known_extensions = false;
    config.options.maximum_threads = 1;
    config.options.checkpoint_wal_size = 0;
}

// Appends (idx, value, sample_id) rows a vector at a time, letting signals through.
void append_values(duckdb::Connection &connection, const Checkpoint &c, SignalCheck &check) {
    duckdb::Appender appender(connection, c.table);
    duckdb::DataChunk chunk;
    chunk.Initialize(
        duckdb::Allocator::DefaultAllocator(),
        {duckdb::LogicalType::BIGINT, duckdb::LogicalType::DOUBLE, duckdb::LogicalType::BIGINT});
    for (std::size_t start = 0; start < c.values.size(); start += STANDARD_VECTOR_SIZE) {
        const std::size_t count
            = std::min<std::size_t>(STANDARD_VECTOR_SIZE, c.values.size() - start);
        auto *idx = duckdb::FlatVector::GetData<std::int64_t>(chunk.data[0]);
        auto *value = duckdb::FlatVector::GetData<double>(chunk.data[1]);
        auto *sample_id = duckdb::FlatVector::GetData<std::int64_t>(chunk.data[2]);
        for (std::size_t i = 0; i < count; ++i) {
            idx[i] = static_cast<std::int64_t>(start + i);
            value[i] = c.values[start + i];
            sample_id[i] = c.sample_id;
        }
        chunk.SetCardinality(count);
        appender.AppendDataChunk(chunk);
        chunk.Reset();
        check();
    }
    appender.Close();
}

void insert_state(duckdb::Connection &connection, const Checkpoint &c) {
    const auto insert = connection.Prepare(kInsertState);
    if (insert->HasError()) {
        fail(insert->GetError());
    }
    // Explicit VARCHAR values: plain std::string arguments would bind as BLOB.
    duckdb::vector<duckdb::Value> row{duckdb::Value(c.run_id), duckdb::Value(c.step),
                                      duckdb::Value(c.path), duckdb::Value(c.table),
                                      duckdb::Value(c.payload_json)};
    const auto result = insert->Execute(row, /*allow_stream_result=*/true);
    if (result->HasError()) {
        fail(result->GetError());
    }
}

// The whole checkpoint in one transaction, which closing the connection rolls back unless it
// was committed. Runs with the interpreter lock released; a signal before the commit rolls
// everything back, one after it waits for the op's return.
void store(const Checkpoint &c) {
    duckdb::DBConfig config;
    make_lean(config);
    with_database(c.path, &config, c.lock_timeout,
                  [&](duckdb::Connection &connection, SignalCheck &check) {
                      run(connection, "BEGIN TRANSACTION");
                      run(connection, "CREATE TABLE IF NOT EXISTS " + c.table
                                          + " (idx BIGINT, value DOUBLE, sample_id BIGINT);");
                      append_values(connection, c, check);
                      run(connection, kStateTableStatement);
                      insert_state(connection, c);
                      check.now();
                      run(connection, "COMMIT");
                  });
}

// A value that iterating uses up (a generator, map, zip) would be lost with a failed call: it
// goes back into the payload as the list of floats that was read from it, ready for a retry.
class OneShotValues {
public:
    OneShotValues(const py::dict &payload, const std::vector<double> &values)
        : payload_(payload), values_(values) {
        if (payload_.contains("values")) {
            const py::object given = payload_["values"];
            one_shot_ = PyIter_Check(given.ptr()) != 0;
        }
    }

    // Puts the values back; keeps the error that is on its way out.
    void restore() noexcept {
        if (!one_shot_) {
            return;
        }
        try {
            payload_["values"] = py::cast(values_);
        } catch (const std::exception &) {
            PyErr_Clear();
        }
    }

private:
    const py::dict &payload_;
    const std::vector<double> &values_;
    bool one_shot_ = false;
};

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
    check_database_path(c.path, kOp);
    c.lock_timeout = lock_timeout(payload, kOp);
    c.values = values_of(payload);
    OneShotValues one_shot(payload, c.values);
    try {
        if (payload.contains("sample_id")) {
            c.sample_id = py::cast<std::int64_t>(payload["sample_id"]);
        }
        c.table = "data_" + sanitize_identifier(c.run_id) + "_" + sanitize_identifier(c.step);
        c.payload_json = payload_json(payload);
        const py::str path_text(c.path);
        const py::str table_text(c.table);
        {
            const py::gil_scoped_release released;
            store(c);
        }
        if (payload.contains("values")) {
            payload.attr("pop")("values", py::none());
        }
        payload["duckdb_path"] = path_text;
        payload["data_table"] = table_text;
    } catch (...) {
        one_shot.restore();
        throw;
    }
}

}  // namespace tarnwell::sqlstore_module
