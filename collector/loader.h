// Turning collector rows into scheduled services.
#pragma once

#include <libpq-fe.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "pgConnectionPool.h"
#include "service.h"

// Every statement given to the loaders returns these eleven columns.
enum CollectorColumn {
  kColumnCollectorId = 0,
  kColumnPluginPath = 1,
  kColumnInterval = 2,
  kColumnName = 3,
  kColumnParameter = 4,
  kColumnChannelName = 5,
  kColumnPluginId = 9,
  kColumnLastExec = 10,
};

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

// Fills the first "$CHANNEL" (the row's channel, or allChannel when it has
// none) and the first "$INTERVAL" (the interval text as returned): the
// parameter text as logs show it.
std::string replaceServiceParameter(std::string parameter, PGresult* result, int row);

// The row's parameter into record: parameter is replaceServiceParameter's
// text; parameter_list is the text split with "$INTERVAL" filled, then the
// channel put into the argument holding the first "$CHANNEL", so that the
// name stays within that one argument whatever blanks or quotes it holds.
void setParameterFromRow(service& record, PGresult* result, int row);

// Builds the record of one row (shared by both loaders). Throws
// std::exception for a row that cannot be scheduled (bad ids, an interval
// of 0 s or one too long for the millisecond field).
service buildServiceFromRow(PGresult* result, int row);

// Index in vec_core of the record with the smallest load, lowest on ties.
size_t leastLoadedCore();

// Pushes the record into the least-loaded core record's waiting queue and
// adds its load there.
void placeService(service& record);

// Now plus rand() % modulo_rand seconds: the first run of a collector that
// never ran.
struct timeval randomFirstDue();
