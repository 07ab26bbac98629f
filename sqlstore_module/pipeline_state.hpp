// The table pipeline_state, in which every checkpoint records its step: the statements that
// create it and add a row to it.
#pragma once

namespace tarnwell::sqlstore_module {

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

}  // namespace tarnwell::sqlstore_module
