// duckdb_sql_cpp: runs an SQL text from the payload's data table to its output table on the
// payload's DuckDB file, then moves payload["data_table"] on to the output table.
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

#include "duckdb.hpp"
#include "host_api/pipeline.hpp"
#include "sqlstore_module/ops.hpp"

namespace py = pybind11;

namespace tarnwell::sqlstore_module {
namespace {

constexpr const char *kRequiredKeys[] = {"duckdb_path", "data_table", "sql", "out_table"};

// Replaces every `placeholder` in `text` by `name`; the search goes on after the inserted
// name, so inserted text is never searched again.
void fill_in(std::string &text, const std::string &placeholder, const std::string &name) {
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + name.size())) {
        text.replace(at, placeholder.size(), name);
    }
}

}  // namespace

void duckdb_sql_cpp(pipeline::Data &data) {
    const py::dict payload = data.payload;
    for (const char *key : kRequiredKeys) {
        if (!payload.contains(key)) {
            throw std::runtime_error(std::string("duckdb_sql_cpp requires payload['") + key + "']");
        }
    }
    const auto path = py::cast<std::string>(payload["duckdb_path"]);
    const auto in_table = py::cast<std::string>(payload["data_table"]);
    auto sql = py::cast<std::string>(payload["sql"]);
    const auto out_table = py::cast<std::string>(payload["out_table"]);
    // Decoded before the database is touched: an output name that cannot become the new
    // "data_table" must not leave its SQL applied.
    const py::str new_data_table(out_table);

    fill_in(sql, "{in_table}", in_table);
    fill_in(sql, "{out_table}", out_table);
    {
        duckdb::DuckDB db(path, nullptr);
        duckdb::Connection connection(db);
        const auto result = connection.Query(sql);
        if (result->HasError()) {
            throw std::runtime_error("duckdb_sql_cpp failed: " + result->GetError());
        }
    }
    payload["data_table"] = new_data_table;
    data.payload = payload;
}

}  // namespace tarnwell::sqlstore_module
