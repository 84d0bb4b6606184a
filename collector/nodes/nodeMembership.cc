// Membership through PostgreSQL alone: a lease row per node whose expiry
// the database clock sets, renewed by one thread of each daemon.
#include "nodeMembership.h"

#include <libpq-fe.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
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

using Clock = std::chrono::steady_clock;

// Well inside the 15 s lease, so that one slow pass does not let it run out.
const std::chrono::seconds kPass{3};
// The other nodes take this node's collectors over once its lease has run
// out by the database clock, 15 s after the last renewal the database
// took; this node stops starting runs 5 s before that by its own clock, so
// that the two never overlap.
const std::chrono::seconds kFenceAfter{10};

// A link that goes silent fails the lease thread's statement within
// seconds instead of holding it for the minutes TCP would, so the renewal
// is tried again as soon as the link is back. PGSQL_options, later in the
// line, can still set each of them.
const std::string kLeaseLinkOptions =
    "connect_timeout=5 keepalives_idle=5 keepalives_interval=2 keepalives_count=3 "
    "tcp_user_timeout=10000 ";

// Written by readNodeKeys (and joinNodes for the token) before any thread
// starts, read-only afterwards.
std::string node_name;
std::string node_channels;
std::string node_token;  // this process's own, in its lease row

// When the last renewal that succeeded was sent (Clock's count): the
// database stamped it later, so the lease ends 15 s after this at the
// earliest.
std::atomic<Clock::rep> last_renewal{0};
// Set by the first nodeMayRun that finds the lease too old, cleared by the
// lease thread once a renewal has succeeded and the share is read again.
std::atomic<bool> fenced{false};
// Another daemon holds this node's name now: the daemon stops, exit 1.
std::atomic<bool> name_lost{false};

// The lease thread runs until main is done with everything else.
pthread_mutex_t leave_mutex = PTHREAD_MUTEX_INITIALIZER;  // guards leaving
MonotonicCondition leave_wakeup;  // notified with leave_mutex when leaving is set
bool leaving = false;             // guarded by leave_mutex
// Written by main only (joinNodes, leaveNodes).
pthread_t lease_thread;
bool lease_started = false;

NodeRegistry registry;

pthread_mutex_t view_mutex = PTHREAD_MUTEX_INITIALIZER;  // guards view
std::vector<NodeInfo> view;                              // guarded by view_mutex

// Set by main once the initial load is done; no collector moves before.
std::atomic<bool> loaded{false};

// The lease thread's own connection: the change watcher keeps pgSQL.
// Created by joinNodes, then used by the lease thread only.
std::unique_ptr<pgConnectionPool> lease_pool;

std::string randomToken() {
  std::random_device source;
  char text[33];
  snprintf(text, sizeof text, "%08x%08x%08x%08x", source(), source(), source(), source());
  return text;
}

Clock::duration renewalAge() {
  return Clock::now() - Clock::time_point(Clock::duration(last_renewal.load()));
}

void fenceSelf() {
  if (!fenced.exchange(true))
    write_log("ERR", "node " + node_name + ": lease not renewed for " +
                         std::to_string(kFenceAfter.count()) + " s, no run starts until it is");
}

// True when leaveNodes was called; otherwise after `period`.
bool waitLeaving(std::chrono::milliseconds period) {
  MutexLock lock(&leave_mutex);
  return leave_wakeup.waitFor(lock, period, [] { return leaving; });
}

bool acceptableName(const std::string& name) {
  return std::none_of(name.begin(), name.end(),
                      [](unsigned char c) { return c == ',' || c <= ' ' || c == 0x7f; });
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
    PgResult claimed(
        pool.executeParamRequest(sql::kClaimNode, {node_name, node_channels, node_token}));
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

  // False once another daemon has taken the name.
  bool pass() {
    const Clock::time_point sent = Clock::now();
    // A late pass (the host stalled, the link hung) fences the node before
    // anything else: only this renewal, once the share is read, lifts it.
    nodeMayRun();
    try {
      PgResult renewed(
          pool_.executeParamRequest(sql::kRenewNode, {node_name, node_channels, node_token}));
      if (PQntuples(renewed.get()) == 0) return loseName();
      // Away long enough for the lease to lapse: changes may have been
      // purged unseen by this node meanwhile.
      behind_ = behind_ || renewalAge() >= kFenceAfter;
      last_renewal = sent.time_since_epoch().count();
      const std::vector<NodeInfo> nodes = refreshView(pool_);
      if (loaded && die_kova == 0) moveCollectors(nodes);
      failing_ = false;
      if (Clock::now() - sent < kFenceAfter && fenced.exchange(false))
        write_log("INFO", "node " + node_name + ": lease renewed, runs start again");
    } catch (const std::exception& error) {
      // Logged once per outage of the database, not at every pass.
      if (!failing_)
        write_log("ERR", "node " + node_name + ": lease renewal failed: " + error.what());
      failing_ = true;
      behind_ = true;
    }
    return true;
  }

  void giveUp() {
    try {
      PQclear(pool_.executeParamRequest(sql::kExpireNode, {node_name, node_token}));
      write_log("INFO", "node " + node_name + " gave its lease up");
    } catch (const PostgresqlException& error) {
      write_log("ERR", "node " + node_name + ": giving the lease up failed: " + error.what());
    }
  }

 private:
  // Stops the daemon as a duplicate name at start-up would be.
  bool loseName() {
    write_log("ERR", "node " + node_name +
                         " was taken by another daemon with the same node_name: stopping");
    fenced = true;
    name_lost = true;
    stopWorkers();
    return false;
  }

  void moveCollectors(const std::vector<NodeInfo>& nodes) {
    const auto now = std::chrono::steady_clock::now();
    const std::string current = signature(nodes);
    const auto period = std::max<std::chrono::seconds>(
        kPass, std::chrono::seconds(collector_settings.wait_load_delete_thread));
    if (behind_ || current != last_signature_ || now - last_full_ >= period) {
      Trace("th_node#reconcile");
      reconcileCollectors(pool_, nodes, node_name, registry);
      // After a failed or late renewal: every change made meanwhile.
      if (behind_) catchUpCollectors(pool_, registry);
      behind_ = false;
      last_signature_ = current;
      last_full_ = now;
      Trace("th_node#reconcile done");
    } else {
      dropReleased(registry);
    }
  }

  pgConnectionPool& pool_;
  bool failing_ = false;
  bool behind_ = false;  // a renewal failed or came late, and nothing was re-read since
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

bool joinNodes() {
  if (!nodeMode()) return true;
  node_token = randomToken();
  last_renewal = Clock::now().time_since_epoch().count();
  try {
    lease_pool =
        std::make_unique<pgConnectionPool>(kLeaseLinkOptions + collector_settings.connectLine, 1);
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
  if (pthread_create(&lease_thread, nullptr, thread_node_lease, nullptr) != 0) {
    write_log("ERR", "node " + node_name + ": cannot start the lease thread");
    LeaseLoop(*lease_pool).giveUp();  // a restart need not wait for it to run out
    lease_pool.reset();
    return false;
  }
  lease_started = true;
  write_log("INFO", "NODE " + node_name + " joined");
  return true;
}

void nodesLoaded() { loaded = true; }

bool nodeMayRun() {
  if (!nodeMode() || (!fenced && renewalAge() < kFenceAfter)) return true;
  fenceSelf();
  return false;
}

bool nodeLostName() { return name_lost; }

void leaveNodes() {
  if (!lease_started) return;
  {
    MutexLock lock(&leave_mutex);
    leaving = true;
  }
  leave_wakeup.notifyAll();
  pthread_join(lease_thread, nullptr);
  lease_started = false;
}

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
    bool holder = true;
    // Renewed through the stop too: the lease goes only once this node's
    // last runs are over and written.
    while (!waitLeaving(kPass))
      if (holder) holder = loop.pass();
    if (holder) loop.giveUp();
  }
  lease_pool.reset();
  return nullptr;
}
