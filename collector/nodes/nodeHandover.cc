// Hand-over of collectors between nodes. Each step reads or writes the
// database outside every lock; the registry and the queues lock themselves
// per operation.
#include "nodeHandover.h"

#include <libpq-fe.h>
#include <sys/time.h>

#include <cstdlib>
#include <map>

#include "collectorRows.h"
#include "convertTo.h"
#include "globals.h"
#include "log.h"
#include "pgResult.h"
#include "statements.h"

namespace {

// Due when it would have been due on the node that ran it before.
void setTakeOverDue(service& record, const std::string& lastexec) {
  if (lastexec.empty()) {
    record.next_exec_time = randomFirstDue();
    return;
  }
  record.next_exec_time.tv_sec =
      static_cast<time_t>(stringToUnsignedInt(lastexec)) + record.interval_exec_time / 1000;
  record.next_exec_time.tv_usec = 0;
}

// Marked before this node saw the mark: the worker drops it when due.
void listIfMarked(PGresult* result, int row, uint64_t id) {
  if (std::string(PQgetvalue(result, row, sql::kColumnDeleteMark)) == "t" &&
      !serviceDeleteList.find(id))
    serviceDeleteList.push(id);
}

// Calls use(record) for each row of kTakeOverCollectors that builds;
// returns the ids it used.
template <class Use>
std::unordered_set<uint64_t> useRows(PGresult* result, Use use) {
  std::unordered_set<uint64_t> used;
  for (int row = 0; row < PQntuples(result); ++row) {
    try {
      service record = buildServiceFromRow(result, row);
      setTakeOverDue(record, PQgetvalue(result, row, sql::kColumnLastExec));
      const uint64_t id = record.Service_id;
      listIfMarked(result, row, id);
      use(record);
      used.insert(id);
    } catch (const std::exception& error) {
      write_log("ERR", std::string("Failed to load service: ") +
                           PQgetvalue(result, row, sql::kColumnPluginId) + error.what());
    }
  }
  return used;
}

void takeOver(pgConnectionPool& pool, const std::vector<uint64_t>& ids, NodeRegistry& registry) {
  if (ids.empty()) return;
  std::unordered_set<uint64_t> placed;
  try {
    PgResult result(pool.executeParamRequest(sql::kTakeOverCollectors, {idArray(ids)}));
    placed = useRows(result.get(), [](service& record) { placeService(record); });
  } catch (const PostgresqlException&) {
    for (uint64_t id : ids) registry.forget(id);
    throw;
  }
  // Rows gone meanwhile, or refused: claimed again at a later pass if
  // they are still there.
  for (uint64_t id : ids)
    if (placed.count(id) == 0) registry.forget(id);
  if (!placed.empty())
    write_log("INFO", "NODE took over " + std::to_string(placed.size()) + " collector(s)");
}

void recordOutages(pgConnectionPool& pool,
                   const std::map<std::string, std::vector<uint64_t>>& down) {
  for (const auto& [node, ids] : down) {
    const std::string message = "DAEMON: node " + node + " is down";
    PgResult result(pool.executeParamRequest(sql::kRecordNodeDown, {message, idArray(ids)}));
    const int recorded = atoi(PQcmdTuples(result.get()));
    if (recorded > 0)
      write_log("INFO",
                message + ": outage recorded for " + std::to_string(recorded) + " collector(s)");
  }
}

}  // namespace

std::string idArray(const std::vector<uint64_t>& ids) {
  std::string text = "{";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) text += ",";
    text += std::to_string(ids[i]);
  }
  return text + "}";
}

void forgetCollector(NodeRegistry& registry, uint64_t collector_id) {
  registry.forget(collector_id);
  serviceUpdate.discard(collector_id);
  serviceDeleteList.eraseAll(collector_id);
}

void dropReleased(NodeRegistry& registry) {
  const std::unordered_set<uint64_t> released = registry.released();
  if (released.empty()) return;
  for (infoThread* core : vec_core)
    for (uint64_t id : core->wait_queue->removeIds(released)) forgetCollector(registry, id);
}

void catchUpCollectors(pgConnectionPool& pool, NodeRegistry& registry) {
  const std::vector<uint64_t> held = registry.heldIds();
  if (held.empty()) return;
  PgResult result(pool.executeParamRequest(sql::kTakeOverCollectors, {idArray(held)}));
  // A row gone meanwhile is not owned any more: reconcile hands it over.
  const size_t read = useRows(result.get(), [](service& record) {
                        serviceUpdate.addService(std::move(record));
                      }).size();
  write_log("INFO", "NODE read again " + std::to_string(read) + " collector(s)");
}

void reconcileCollectors(pgConnectionPool& pool, const std::vector<NodeInfo>& nodes,
                         const std::string& self, NodeRegistry& registry) {
  const uint64_t since = registry.stamp();
  std::unordered_set<uint64_t> owned;
  std::map<std::string, std::vector<uint64_t>> down;
  {
    PgResult rows(pool.executeRequest(sql::kSelectPlacements));
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
      const uint64_t id = std::stoull(PQgetvalue(rows.get(), row, 0));
      const Placement placement = placeCollector(nodes, id, PQgetvalue(rows.get(), row, 1));
      if (placement.runner == self) owned.insert(id);
      if (placement.recorder == self) down[placement.down_node].push_back(id);
    }
  }
  takeOver(pool, registry.reconcile(owned, since), registry);
  dropReleased(registry);
  recordOutages(pool, down);
}
