// _tarnwell_bench: the baselines that the op benchmarks compare with, written the shortest
// way in C++: the floors of the work an op cannot avoid, and the storage ops' work done by
// DuckDB's stock client (the bare DuckDB API with its default configuration).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "duckdb.hpp"

#include "sqlstore_module/pipeline_state.hpp"

namespace py = pybind11;

namespace {

// The bare floor of reading samples: a list's floats copied into a std::vector<double>.
std::size_t copy_floats(const py::list &list) {
    PyObject *const *items = PySequence_Fast_ITEMS(list.ptr());
    std::vector<double> out(static_cast<std::size_t>(PyList_GET_SIZE(list.ptr())));
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = PyFloat_AS_DOUBLE(items[i]);  // callers pass floats only
    }
    return out.size();
}

// The floor of writing a window back: a new list of `n` new floats from C++ values.
py::list new_float_list(std::size_t n) {
    static std::vector<double> values;
    values.resize(n, 0.5);
    py::list list(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), PyFloat_FromDouble(values[i]));
    }
    return list;
}

void check(duckdb::QueryResult &result) {
    if (result.HasError()) {
        throw std::runtime_error(result.GetError());
    }
}

// The checkpoint's work done by DuckDB's stock client: its default configuration, one
// transaction with the data table `table`, `count` rows appended one by one, the state table
// and its row, commit, close.
void stock_checkpoint(const std::string &path,
                      const std::string &table,
                      std::size_t count,
                      const std::string &json) {
    namespace sqlstore = tarnwell::sqlstore_module;
    const py::gil_scoped_release released;
    duckdb::DuckDB db(path, nullptr);
    duckdb::Connection connection(db);
    check(*connection.Query("BEGIN TRANSACTION"));
    check(*connection.Query("CREATE TABLE IF NOT EXISTS " + table
                            + " (idx BIGINT, value DOUBLE, sample_id BIGINT);"));
    {
        duckdb::Appender appender(connection, table);
        for (std::size_t i = 0; i < count; ++i) {
            appender.BeginRow();
            appender.Append<std::int64_t>(static_cast<std::int64_t>(i));
            appender.Append<double>(static_cast<double>(i) * 0.5);
            appender.Append<std::int64_t>(0);
            appender.EndRow();
        }
        appender.Close();
    }
    check(*connection.Query(sqlstore::kStateTableStatement));
    const auto insert = connection.Prepare(sqlstore::kInsertState);
    duckdb::vector<duckdb::Value> row{duckdb::Value("stock"), duckdb::Value("C"),
                                      duckdb::Value(path), duckdb::Value(table),
                                      duckdb::Value(json)};
    check(*insert->Execute(row, true));
    check(*connection.Query("COMMIT"));
}

// An SQL step done by DuckDB's stock client: open with its default configuration, run `sql`,
// close.
void stock_sql(const std::string &path, const std::string &sql) {
    const py::gil_scoped_release released;
    duckdb::DuckDB db(path, nullptr);
    duckdb::Connection connection(db);
    check(*connection.Query(sql));
}

}  // namespace

PYBIND11_MODULE(_tarnwell_bench, m) {
    m.def("copy_floats", &copy_floats, py::arg("list"));
    m.def("new_float_list", &new_float_list, py::arg("n"));
    m.def("stock_checkpoint", &stock_checkpoint, py::arg("path"), py::arg("table"),
          py::arg("count"), py::arg("json"));
    m.def("stock_sql", &stock_sql, py::arg("path"), py::arg("sql"));
}
