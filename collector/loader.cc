// Collector loading: the rows of a statement into the waiting queues or the
// pending definitions.
#include "loader.h"

#include <sys/time.h>

#include <cstdlib>
#include <ctime>

#include "collectorRows.h"
#include "convertTo.h"
#include "globals.h"
#include "log.h"
#include "nodes/nodeMembership.h"
#include "pgResult.h"
#include "statements.h"

namespace {

std::string column(PGresult* result, int row, int index) { return PQgetvalue(result, row, index); }

PGresult* runStatement(pgConnectionPool* pool, const std::string& statement,
                       const std::vector<std::string>& params) {
  return params.empty() ? pool->executePrepareRequest(statement)
                        : pool->executePrepareRequest(statement, params);
}

// A lone scheduler reads nothing more of the row than it always did.
bool runsHere(PGresult* result, int row) {
  if (!nodeMode()) return true;
  return nodeRunsHere(std::stoull(column(result, row, sql::kColumnCollectorId)),
                      column(result, row, sql::kColumnChannelName));
}

}  // namespace

size_t load_script(pgConnectionPool* pool, std::string statement) {
  return load_script(pool, std::move(statement), {});
}

size_t load_script(pgConnectionPool* pool, std::string statement, std::vector<std::string> params) {
  size_t taken = 0;
  srand(static_cast<unsigned>(time(nullptr)));
  PgResult result(runStatement(pool, statement, params));
  const int rows = PQntuples(result.get());
  for (int row = 0; row < rows; ++row) {
    try {
      if (!runsHere(result.get(), row)) continue;
      service record = buildServiceFromRow(result.get(), row);
      if (!nodeClaim(record.Service_id)) {
        // Taken over from another node before this row was read.
        record.next_exec_time = randomFirstDue();
        serviceUpdate.addService(std::move(record));
        ++taken;
        continue;
      }
      const std::string lastexec = column(result.get(), row, sql::kColumnLastExec);
      if (lastexec.empty()) {
        record.next_exec_time = randomFirstDue();
      } else {
        record.next_exec_time.tv_sec = stringToUnsignedInt(lastexec);
        record.next_exec_time.tv_usec = 0;
      }
      placeService(record);
      ++taken;
    } catch (const std::exception& error) {
      write_log("ERR", "Failed to initial load service: " +
                           column(result.get(), row, sql::kColumnPluginId) + error.what());
    }
  }
  result.reset();
  write_log("INFO", "script reload successful");
  return taken;
}

size_t load_UpdateService(pgConnectionPool* pool, std::string statement) {
  return load_UpdateService(pool, std::move(statement), {});
}

size_t load_UpdateService(pgConnectionPool* pool, std::string statement,
                          std::vector<std::string> params) {
  size_t taken = 0;
  PgResult result(runStatement(pool, statement, params));
  const int rows = PQntuples(result.get());
  for (int row = 0; row < rows; ++row) {
    try {
      if (nodeMode() && !nodeHolds(std::stoull(column(result.get(), row, sql::kColumnCollectorId))))
        continue;
      service record = buildServiceFromRow(result.get(), row);
      record.next_exec_time = randomFirstDue();
      serviceUpdate.addService(std::move(record));
      ++taken;
    } catch (const std::exception& error) {
      write_log("ERR", "Failed to load service: " +
                           column(result.get(), row, sql::kColumnPluginId) + error.what());
    }
  }
  return taken;
}
