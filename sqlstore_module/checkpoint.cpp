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
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "duckdb.hpp"

#include "host_api/pipeline.hpp"
#include "host_api/sample_buffer.hpp"
#include "sqlstore_module/database.hpp"
#include "sqlstore_module/ops.hpp"
#include "sqlstore_module/pipeline_state.hpp"

namespace py = pybind11;

namespace tarnwell::sqlstore_module {
namespace {

constexpr char kOp[] = "duckdb_checkpoint_cpp";

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
std::string sanitize_identifier(std::string text) {
    for (char &c : text) {
        const bool safe
            = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        c = safe ? c : '_';
    }
    return text.empty() ? "table" : text;
}

// json.dumps of the payload as it will be once "values" (when `has_values`) is removed,
// taken on a copy so that the payload itself stays untouched until the commit.
std::string payload_json(const py::dict &payload, bool has_values) {
    const auto snapshot = py::reinterpret_steal<py::dict>(PyDict_Copy(payload.ptr()));
    if (!snapshot || (has_values && PyDict_DelItemString(snapshot.ptr(), "values") != 0)) {
        throw py::error_already_set();
    }
    const auto json = py::reinterpret_steal<py::object>(
        host::or_park([] { return PyImport_ImportModule("json"); }));
    if (!json) {
        throw py::error_already_set();
    }
    const py::object dumps = json.attr("dumps");
    const auto text = py::reinterpret_steal<py::object>(
        host::or_park([&] { return PyObject_CallOneArg(dumps.ptr(), snapshot.ptr()); }));
    if (!text) {
        throw py::error_already_set();
    }
    return py::cast<std::string>(text);
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

// The DuckDB instance that checkpoints attach their files to: none of the extensions (its
// statements use none), one thread, the checkpoint written at commit rather than a
// write-ahead log first, and the metadata of tables that a commit leaves alone reused rather
// than written anew. The file format stays DuckDB's default, readable by every DuckDB from
// 1.0 on.
void checkpoint_config(duckdb::DBConfig &config) {
    config.options.load_extensions = false;
    config.options.autoload_known_extensions = false;
    config.options.autoinstall_known_extensions = false;
    config.options.maximum_threads = 1;
    config.options.checkpoint_wal_size = 0;
    config.SetOptionByName("experimental_metadata_reuse", duckdb::Value::BOOLEAN(true));
}

// A column of an appended chunk: DuckDB only reads it, through a pointer to mutable bytes.
template <class T>
duckdb::data_ptr_t column(const T *data) {
    return reinterpret_cast<duckdb::data_ptr_t>(const_cast<T *>(data));
}

// Appends (idx, value, sample_id) rows a vector at a time, letting signals through. The
// chunk's columns point into buffers of ours, the values into the checkpoint's own.
void append_values(duckdb::Connection &connection, const Checkpoint &c, host::ReleasedGil &gil) {
    duckdb::Appender appender(connection, c.table);
    std::vector<std::int64_t> idx(STANDARD_VECTOR_SIZE);
    std::vector<std::int64_t> sample_id(STANDARD_VECTOR_SIZE, c.sample_id);
    duckdb::DataChunk chunk;
    chunk.InitializeEmpty(
        {duckdb::LogicalType::BIGINT, duckdb::LogicalType::DOUBLE, duckdb::LogicalType::BIGINT});
    for (std::size_t start = 0; start < c.values.size(); start += STANDARD_VECTOR_SIZE) {
        const std::size_t count
            = std::min<std::size_t>(STANDARD_VECTOR_SIZE, c.values.size() - start);
        std::iota(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(count),
                  static_cast<std::int64_t>(start));
        duckdb::FlatVector::SetData(chunk.data[0], column(idx.data()));
        duckdb::FlatVector::SetData(chunk.data[1], column(c.values.data() + start));
        duckdb::FlatVector::SetData(chunk.data[2], column(sample_id.data()));
        chunk.SetCardinality(count);
        appender.AppendDataChunk(chunk);
        gil.check_signals();
    }
    appender.Close();
}

void insert_state(duckdb::Connection &connection, const Checkpoint &c) {
    const auto insert = connection.Prepare(kInsertState);
    throw_error(*insert);
    // Explicit VARCHAR values: plain std::string arguments would bind as BLOB.
    duckdb::vector<duckdb::Value> row{duckdb::Value(c.run_id), duckdb::Value(c.step),
                                      duckdb::Value(c.path), duckdb::Value(c.table),
                                      duckdb::Value(c.payload_json)};
    throw_error(*insert->Execute(row, /*allow_stream_result=*/true));
}

// The whole checkpoint in one transaction, which closing the connection rolls back unless it
// was committed. The interpreter lock is released meanwhile; a signal before the commit rolls
// everything back, one after it waits for the op's return.
void store(const Checkpoint &c) {
    with_attached_database(c.path, &checkpoint_config, c.lock_timeout,
                           [&](duckdb::Connection &connection, host::ReleasedGil &gil) {
                               run(connection, "BEGIN TRANSACTION");
                               run(connection,
                                   "CREATE TABLE IF NOT EXISTS " + c.table
                                       + " (idx BIGINT, value DOUBLE, sample_id BIGINT);");
                               append_values(connection, c, gil);
                               run(connection, kStateTableStatement);
                               insert_state(connection, c);
                               gil.check_signals_at_once();
                               run(connection, "COMMIT");
                           });
}

// The values of a checkpoint: payload["values"] as doubles, empty when absent or None. An
// array type of a native numeric format is read straight from its buffer (host::read_buffer).
// A generator or the iterator of map() or zip(), which reading uses up, is read into a list
// first; when the call fails, that list goes back into the payload in its place, with what
// was read before the failure, so that nothing is lost and a retry stores it.
class Values {
public:
    explicit Values(const py::dict &payload) : payload_(payload) {
        py::object given = py::reinterpret_borrow<py::object>(
            PyDict_GetItemWithError(payload.ptr(), py::str("values").ptr()));
        if (!given && PyErr_Occurred() != nullptr) {
            throw py::error_already_set();
        }
        present_ = static_cast<bool>(given);
        if (!given || given.is_none()) {
            return;
        }
        try {
            if (host::read_buffer(given, doubles_)) {
                return;
            }
            if (used_up_by_reading(given.ptr())) {
                read_ = py::list();
                host::or_park([&] { read_all(given.ptr(), read_.ptr()); });
                given = read_;
            }
            doubles_ = host::or_park([&] { return py::cast<std::vector<double>>(given); });
        } catch (const std::exception &e) {
            give_back();
            throw std::runtime_error(
                std::string("duckdb_checkpoint_cpp: payload['values'] must be a sequence of "
                            "floats: ")
                + e.what());
        }
    }

    // Whether the payload has "values".
    bool present() const { return present_; }

    // The doubles read; once only.
    std::vector<double> take() { return std::move(doubles_); }

    // Puts back what reading used up; keeps the error that is on its way out.
    void give_back() noexcept {
        if (read_ && PyDict_SetItemString(payload_.ptr(), "values", read_.ptr()) != 0) {
            PyErr_Clear();
        }
    }

private:
    // Appends what `iterator` yields to `list`; what came before an error stays there.
    static void read_all(PyObject *iterator, PyObject *list) {
        while (PyObject *item = PyIter_Next(iterator)) {
            const int appended = PyList_Append(list, item);
            Py_DECREF(item);
            if (appended != 0) {
                break;
            }
        }
        if (PyErr_Occurred() != nullptr) {
            throw py::error_already_set();
        }
    }

    // The one-shot values that pybind11's conversion to a vector accepts (and runs to their
    // end): generators and the iterators made by map() and zip().
    static bool used_up_by_reading(PyObject *value) {
        const std::string_view type = Py_TYPE(value)->tp_name;
        return PyGen_Check(value) != 0 || type == "map" || type == "zip";
    }

    py::dict payload_;
    bool present_ = false;
    py::object read_;
    std::vector<double> doubles_;
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
    Values values(payload);
    c.values = values.take();
    try {
        if (payload.contains("sample_id")) {
            c.sample_id = py::cast<std::int64_t>(payload["sample_id"]);
        }
        c.table = "data_" + sanitize_identifier(c.run_id) + "_" + sanitize_identifier(c.step);
        c.payload_json = payload_json(payload, values.present());
        const py::str path_text(c.path);
        const py::str table_text(c.table);
        store(c);
        if (values.present()) {
            payload.attr("pop")("values", py::none());
        }
        payload["duckdb_path"] = path_text;
        payload["data_table"] = table_text;
    } catch (...) {
        values.give_back();
        throw;
    }
}

}  // namespace tarnwell::sqlstore_module
