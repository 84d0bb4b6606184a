// Result recording through the core record's pool.
#include "updateService.h"

#include <libpq-fe.h>

#include <string>
#include <vector>

#include "log.h"

void updateService(const service& record, pgConnectionPool* pool, bool* state_written) {
  const std::string state = std::to_string(record.state);
  const std::string id = std::to_string(record.Service_id);
  std::vector<std::string> params{state, record.state == 0 ? "OK" : record.output, id};
  Trace("#UPDATE " + record.name + "#" + id + "#");
  PQclear(pool->executePrepareRequest("UpdateState", std::move(params)));
  if (state_written) *state_written = true;
  if (record.state == 0) PQclear(pool->executePrepareRequest("InsertData", {record.output, id}));
}
