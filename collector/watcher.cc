// Change watcher.
//
// The reads of the pending changes and the purge of flows_updel_collector
// run in one REPEATABLE READ transaction on pgSQL (a single connection,
// used by this thread only once start-up is over): the purge then deletes
// exactly the rows the reads saw, and rows committed meanwhile by the
// administration side survive to the next cycle instead of being lost.
//
// With several hosts each node marks the rows it has seen in
// flows_node_change, in the same snapshot as its reads, and a row goes
// only once every live node has seen it.
#include "watcher.h"

#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "convertTo.h"
#include "globals.h"
#include "loader.h"
#include "log.h"
#include "metrics.h"
#include "mutexLock.h"
#include "nodes/nodeMembership.h"
#include "pgResult.h"
#include "statements.h"
#include "stopControl.h"

namespace {

void prepareStatements() {
  Trace("th_loaddel#préparation des requêtes");
  const std::string query = sql::kCollectorQuery;
  pgSQL->prepareRequest("updateCollector", query + " WHERE updel_collector_type='UPDATE'");
  pgSQL->prepareRequest("newCollector", query + " WHERE updel_collector_type='ADD'");
  pgSQL->prepareRequest("deleteCollector", sql::kDeleteCollector, 1);
  pgSQL->prepareRequest("purgePending", sql::kPurgePending);
  pgSQL->prepareRequest("checkDeleteCollector", sql::kCheckDeleteCollector);
  if (nodeMode()) {
    pgSQL->prepareRequest("nodeUpdateCollector",
                          query + " WHERE updel_collector_type='UPDATE'" + sql::kUnseenByNode, 1);
    pgSQL->prepareRequest("nodeNewCollector",
                          query + " WHERE updel_collector_type='ADD'" + sql::kUnseenByNode, 1);
    pgSQL->prepareRequest("nodeAckPending", sql::kAckPending, 1);
    pgSQL->prepareRequest("nodePurgePending", sql::kPurgeSeenPending, 1);
  }
  Trace("th_loaddel#préparation des requêtes ==> SUCCESS");
}

bool inDeleteQueue(unsigned long long id) {
  MutexLock lock(&deleteService.mutex);
  return std::any_of(deleteService.deque.begin(), deleteService.deque.end(),
                     [id](const service& record) { return record.Service_id == id; });
}

bool awaitingRetry(const std::vector<service>& retries, unsigned long long id) {
  return std::any_of(retries.begin(), retries.end(),
                     [id](const service& record) { return record.Service_id == id; });
}

// A collector stays marked until its row is gone; its id is listed once,
// and not again once a worker has dropped it.
void listMarkedCollectors(const std::vector<service>& retries) {
  Trace("th_loaddel#test s'il y a des services à supprimer");
  PgResult result(pgSQL->executePrepareRequest("checkDeleteCollector"));
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    const unsigned long long id = stringToLongInt(PQgetvalue(result.get(), row, 0));
    // Another node's collector: its id must not linger here for a later
    // collector that reuses it.
    if (!nodeHolds(id)) continue;
    if (serviceDeleteList.find(id) || inDeleteQueue(id) || awaitingRetry(retries, id)) continue;
    serviceDeleteList.push(id);
  }
  result.reset();
  Trace("th_loaddel#les service à supprimer on bien été mis dans le vecteur de suppression");
}

void readPendingChanges(const std::vector<service>& retries) {
  PQclear(pgSQL->executeRequest("BEGIN ISOLATION LEVEL REPEATABLE READ"));
  Trace("th_loaddel#on test s'il y a des nouveaux services");
  metrics::countChanges(metrics::Change::add, load_script(pgSQL, "newCollector"));
  Trace("th_loaddel#test s'il y a des services à mettre à jour");
  metrics::countChanges(metrics::Change::update, load_UpdateService(pgSQL, "updateCollector"));
  listMarkedCollectors(retries);
  Trace("th_loaddel#purge de la table d'attente");
  PQclear(pgSQL->executePrepareRequest("purgePending"));
  PQclear(pgSQL->executeRequest("COMMIT"));
  Trace("th_loaddel#purge reussi");
}

void readNodeChanges(const std::vector<service>& retries) {
  const std::vector<std::string> node{nodeName()};
  PQclear(pgSQL->executeRequest("BEGIN ISOLATION LEVEL REPEATABLE READ"));
  Trace("th_loaddel#on test s'il y a des nouveaux services");
  metrics::countChanges(metrics::Change::add, load_script(pgSQL, "nodeNewCollector", node));
  Trace("th_loaddel#test s'il y a des services à mettre à jour");
  metrics::countChanges(metrics::Change::update,
                        load_UpdateService(pgSQL, "nodeUpdateCollector", node));
  listMarkedCollectors(retries);
  PQclear(pgSQL->executePrepareRequest("nodeAckPending", node));
  PQclear(pgSQL->executeRequest("COMMIT"));
  // Outside the snapshot: two nodes purging one row must not fail on each
  // other's deletion.
  Trace("th_loaddel#purge de la table d'attente");
  PQclear(pgSQL->executePrepareRequest("nodePurgePending", node));
  Trace("th_loaddel#purge reussi");
}

void rollbackQuietly() {
  try {
    PQclear(pgSQL->executeRequest("ROLLBACK"));
  } catch (const PostgresqlException&) {
    // The connection is broken; it is reset before its next statement.
  }
}

// True when the row is gone.
bool deleteRow(const service& record) {
  Trace("th_loaddel#On supprime le service");
  try {
    PQclear(pgSQL->executePrepareRequest("deleteCollector", {std::to_string(record.Service_id)}));
  } catch (const PostgresqlException& error) {
    write_log("ERR", std::string("EXEC deleteservice failed: ") + error.what());
    return false;
  }
  // An id listed again after the drop would otherwise stay for ever.
  serviceDeleteList.eraseAll(record.Service_id);
  nodeForget(record.Service_id);
  metrics::countChanges(metrics::Change::remove, 1);
  Trace("th_loaddel#suppression reussi");
  return true;
}

// Rows of dropped collectors; a deletion that fails is kept and retried at
// the next cycles, since no worker will ever drop that collector again.
void deleteDroppedCollectors(std::vector<service>* retries) {
  Trace("th_loaddel#test s'il y a des services mis dans la queue de suppression");
  std::vector<service> failed;
  for (service& record : *retries) {
    if (!deleteRow(record)) failed.push_back(std::move(record));
  }
  while (deleteService.size() > 0) {
    Trace("th_loaddel#On retire le service de la queue");
    service record = deleteService.pop();
    write_log("INFO", "supression du service " + record.Service_id_str);
    if (!deleteRow(record)) failed.push_back(std::move(record));
  }
  retries->swap(failed);
}

void runCycles() {
  std::vector<service> retries;
  while (die_kova == 0) {
    try {
      if (nodeMode()) {
        // A node that may not run must not mark changes seen either: it
        // reads them once its lease is renewed.
        if (nodeMayRun()) readNodeChanges(retries);
      } else {
        readPendingChanges(retries);
      }
    } catch (const PostgresqlException& error) {
      write_log("ERR", std::string("EXEC th loaddell: ") + error.what());
      rollbackQuietly();
    }
    Trace("th_loaddel#dodo");
    sleepUnlessStopped(std::chrono::seconds(collector_settings.wait_load_delete_thread));
    Trace("th_loaddel#Debout");
    deleteDroppedCollectors(&retries);
  }
}

}  // namespace

void* thread_load_delete_service(void*) {
  try {
    prepareStatements();
    runCycles();
  } catch (const PostgresqlException& error) {
    write_log("ERR", std::string("Connection to database Administration failed:  ") + error.what());
  }
  return nullptr;
}
