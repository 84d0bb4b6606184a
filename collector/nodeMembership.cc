// Membership through PostgreSQL alone: a lease row per node whose expiry
// the database clock sets, renewed by one thread of each daemon.
#include "nodeMembership.h"

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>

#include "convertTo.h"
#include "globals.h"
#include "log.h"
#include "metrics.h"
#include "mutexLock.h"
#include "nodeChannels.h"
#include "nodeHandover.h"
#include "nodeOwnership.h"
#include "nodeRegistry.h"
#include "pgResult.h"
#include "statements.h"
#include "stopControl.h"

namespace {

// Well inside the 15 s lease, so that one slow pass does not let it run out.
const std::chrono::seconds kPass{3};

// Written by readNodeKeys before any thread starts, read-only afterwards.
std::string node_name;
std::string node_channels;

NodeRegistry registry;

pthread_mutex_t view_mutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<NodeInfo> view;  // guarded by view_mutex

// Set by main once the initial load is done; no collector moves before.
std::atomic<bool> loaded{false};

// The lease thread's own connection: the change watcher keeps pgSQL.
// Created by joinNodes, then used by the lease thread only.
std::unique_ptr<pgConnectionPool> lease_pool;

bool acceptableName(const std::string& name) {
  return std::none_of(name.begin(), name.end(), [](unsigned char c) {
    return c == ',' || c <= ' ' || c == 0x7f;
  });
}

void rollbackQuietly(pgConnectionPool& pool) {
  try {
    PQclear(pool.executeRequest("ROLLBACK"));
  } catch (const PostgresqlException&) {
    // The connection is broken; it is reset before its next statement.
  }
}

// The lease, and every pending change marked seen, in one transaction: a
// node that purges changes sees both or neither.
bool claimLease(pgConnectionPool& pool) {
  PQclear(pool.executeRequest("BEGIN"));
  try {
    PgResult claimed(pool.executeParamRequest(sql::kClaimNode, {node_name, node_channels}));
    if (PQntuples(claimed.get()) == 0) {
      rollbackQuietly(pool);
      return false;
    }
    PQclear(pool.executeParamRequest(sql::kAckPending, {node_name}));
    PQclear(pool.executeRequest("COMMIT"));
  } catch (const PostgresqlException&) {
    rollbackQuietly(pool);
    throw;
  }
  return true;
}

std::vector<NodeInfo> readNodes(pgConnectionPool& pool) {
  PgResult rows(pool.executeRequest(sql::kSelectNodes));
  std::vector<NodeInfo> nodes;
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    NodeInfo node;
    node.name = PQgetvalue(rows.get(), row, 0);
    node.channels = parseNodeChannels(PQgetvalue(rows.get(), row, 1));
    node.live = std::string(PQgetvalue(rows.get(), row, 2)) == "t";
    nodes.push_back(std::move(node));
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const NodeInfo& a, const NodeInfo& b) { return a.name < b.name; });
  return nodes;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ",";
    text += names[i];
  }
  return text;
}

// What decides where collectors go; a change of it moves collectors.
std::string signature(const std::vector<NodeInfo>& nodes) {
  std::string text;
  for (const NodeInfo& node : nodes) {
    text += node.name + (node.live ? "+" : "-");
    for (const std::string& channel : node.channels) text += channel + ",";
    text += "\n";
  }
  return text;
}

// Returns the view it installed; a failed read keeps the last one.
std::vector<NodeInfo> refreshView(pgConnectionPool& pool) {
  std::vector<NodeInfo> nodes = readNodes(pool);
  std::vector<std::string> before, after = liveNodeNames(nodes);
  {
    MutexLock lock(&view_mutex);
    before = liveNodeNames(view);
    view = nodes;
  }
  if (before != after) write_log("INFO", "LIVE NODES: " + joined(after));
  metrics::setNodesFrom(nodes);
  return nodes;
}

class LeaseLoop {
 public:
  explicit LeaseLoop(pgConnectionPool& pool) : pool_(pool) {}

  void pass() {
    try {
      PQclear(pool_.executeParamRequest(sql::kRenewNode, {node_name, node_channels}));
      const std::vector<NodeInfo> nodes = refreshView(pool_);
      if (loaded) moveCollectors(nodes);
      failing_ = false;
    } catch (const std::exception& error) {
      // Logged once per outage of the database, not at every pass.
      if (!failing_) write_log("ERR", "node " + node_name + ": lease renewal failed: " + error.what());
      failing_ = true;
    }
  }

  void giveUp() {
    try {
      PQclear(pool_.executeParamRequest(sql::kExpireNode, {node_name}));
      write_log("INFO", "node " + node_name + " gave its lease up");
    } catch (const PostgresqlException& error) {
      write_log("ERR", "node " + node_name + ": giving the lease up failed: " + error.what());
    }
  }

 private:
  void moveCollectors(const std::vector<NodeInfo>& nodes) {
    const auto now = std::chrono::steady_clock::now();
    const std::string current = signature(nodes);
    const auto period = std::max<std::chrono::seconds>(
        kPass, std::chrono::seconds(wait_load_delete_thread));
    if (current != last_signature_ || now - last_full_ >= period) {
      Trace("th_node#reconcile");
      reconcileCollectors(pool_, nodes, node_name, registry);
      last_signature_ = current;
      last_full_ = now;
      Trace("th_node#reconcile done");
    } else {
      dropReleased(registry);
    }
  }

  pgConnectionPool& pool_;
  bool failing_ = false;
  std::string last_signature_;
  std::chrono::steady_clock::time_point last_full_{};
};

}  // namespace

bool readNodeKeys(iniConfig& config) {
  const std::string name = trim(config.getKey("KOVA", "node_name"));
  if (!acceptableName(name)) {
    write_log("ERR", "configuration " + config.filename + ": [KOVA] node_name='" + name +
                         "' must not hold blanks, commas or control characters");
    return false;
  }
  node_name = name;
  node_channels = trim(config.getKey("KOVA", "node_channels"));
  return true;
}

bool nodeMode() { return !node_name.empty(); }

const std::string& nodeName() { return node_name; }

bool joinNodes(std::vector<pthread_t>* threads) {
  if (!nodeMode()) return true;
  try {
    lease_pool = std::make_unique<pgConnectionPool>(connectLine, 1);
    PQclear(lease_pool->executeRequest(sql::kCreateNodeTables));
    if (!claimLease(*lease_pool)) {
      write_log("ERR", "node " + node_name +
                           " is already running: its lease in flows_node has not run out");
      lease_pool.reset();
      return false;
    }
    refreshView(*lease_pool);
  } catch (const PostgresqlException& error) {
    write_log("ERR", "node " + node_name + ": " + error.what());
    lease_pool.reset();
    return false;
  }
  pthread_t thread;
  if (pthread_create(&thread, nullptr, thread_node_lease, nullptr) != 0) {
    write_log("ERR", "node " + node_name + ": cannot start the lease thread");
    LeaseLoop(*lease_pool).giveUp();  // a restart need not wait for it to run out
    lease_pool.reset();
    return false;
  }
  threads->push_back(thread);
  write_log("INFO", "NODE " + node_name + " joined");
  return true;
}

void nodesLoaded() { loaded = true; }

bool nodeRunsHere(uint64_t collector_id, const std::string& channel) {
  if (!nodeMode()) return true;
  MutexLock lock(&view_mutex);
  return placeCollector(view, collector_id, channel).runner == node_name;
}

bool nodeClaim(uint64_t collector_id) { return !nodeMode() || registry.claim(collector_id); }

bool nodeHolds(uint64_t collector_id) { return !nodeMode() || registry.holds(collector_id); }

void nodeForget(uint64_t collector_id) {
  if (nodeMode()) forgetCollector(registry, collector_id);
}

bool nodeDropReleased(uint64_t collector_id) {
  if (!nodeMode() || !registry.dropIfReleased(collector_id)) return false;
  forgetCollector(registry, collector_id);
  return true;
}

std::string nodeStatusLines() {
  if (!nodeMode()) return std::string();
  std::vector<std::string> live;
  {
    MutexLock lock(&view_mutex);
    live = liveNodeNames(view);
  }
  return "NODE: " + node_name + "\nLIVE NODES: " + joined(live) + "\n";
}

void* thread_node_lease(void*) {
  {
    LeaseLoop loop(*lease_pool);
    while (!sleepUnlessStopped(kPass)) loop.pass();
    loop.giveUp();
  }
  lease_pool.reset();
  return nullptr;
}
