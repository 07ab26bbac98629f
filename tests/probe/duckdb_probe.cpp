// _tarnwell_duckdb_probe: test-only access to DuckDB files from Python 3.10, for reading
// back what the storage ops wrote and holding a file open.
#include <cstdint>
#include <memory>
#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "duckdb.hpp"

namespace py = pybind11;

namespace {

py::object to_python(const duckdb::Value &value) {
    if (value.IsNull()) {
        return py::none();
    }
    switch (value.type().id()) {
    case duckdb::LogicalTypeId::BOOLEAN:
        return py::bool_(value.GetValue<bool>());
    case duckdb::LogicalTypeId::TINYINT:
    case duckdb::LogicalTypeId::SMALLINT:
    case duckdb::LogicalTypeId::INTEGER:
    case duckdb::LogicalTypeId::BIGINT:
        return py::int_(value.GetValue<std::int64_t>());
    case duckdb::LogicalTypeId::HUGEINT:
        return py::module_::import("builtins").attr("int")(value.ToString());
    case duckdb::LogicalTypeId::FLOAT:
    case duckdb::LogicalTypeId::DOUBLE:
        return py::float_(value.GetValue<double>());
    case duckdb::LogicalTypeId::VARCHAR:
        return py::str(duckdb::StringValue::Get(value));
    default:
        return py::str(value.ToString());
    }
}

void check(duckdb::QueryResult &result) {
    if (result.HasError()) {
        throw std::runtime_error(result.GetError());
    }
}

// Every row of `sql` on the file at `path`, as tuples, with DuckDB's default configuration
// (read-only when asked).
py::list query(const std::string &path, const std::string &sql, bool read_only) {
    duckdb::DBConfig config;
    if (read_only) {
        config.options.access_mode = duckdb::AccessMode::READ_ONLY;
    }
    duckdb::DuckDB db(path, &config);
    duckdb::Connection connection(db);
    const auto result = connection.Query(sql);
    check(*result);
    py::list rows;
    for (duckdb::idx_t r = 0; r < result->RowCount(); ++r) {
        py::tuple row(result->ColumnCount());
        for (duckdb::idx_t c = 0; c < result->ColumnCount(); ++c) {
            row[c] = to_python(result->GetValue(c, r));
        }
        rows.append(row);
    }
    return rows;
}

// Keeps a database file open (and locked) until close().
class Holder {
public:
    explicit Holder(const std::string &path)
        : db_(std::make_unique<duckdb::DuckDB>(path, nullptr)) {}
    void close() { db_.reset(); }

private:
    std::unique_ptr<duckdb::DuckDB> db_;
};

}  // namespace

PYBIND11_MODULE(_tarnwell_duckdb_probe, m) {
    m.def("query", &query, py::arg("path"), py::arg("sql"), py::arg("read_only") = false);
    py::class_<Holder>(m, "Holder")
        .def(py::init<const std::string &>())
        .def("close", &Holder::close);
}
