// The loaders: the collector rows (kCollectorColumns) of a statement into
// scheduled services or pending definitions.
#pragma once

#include <string>
#include <vector>

#include "pgConnectionPool.h"

// Runs the prepared statement (no parameters) on pool and queues one new
// service per row on the least-loaded core record. A failing statement
// throws PostgresqlException; a bad row is logged and skipped.
// With several hosts, only the rows of collectors this node runs are kept,
// and a collector it schedules already gets the row as its new definition.
// Returns the rows taken.
size_t load_script(pgConnectionPool* pool, std::string statement);
size_t load_script(pgConnectionPool* pool, std::string statement, std::vector<std::string> params);

// Runs the prepared statement and stores one new definition per row in
// serviceUpdate, for the worker that next takes that collector.
// Rows of collectors this node does not schedule are skipped. Returns the
// rows taken.
size_t load_UpdateService(pgConnectionPool* pool, std::string statement);
size_t load_UpdateService(pgConnectionPool* pool, std::string statement,
                          std::vector<std::string> params);
