// The scheduler's SQL texts, exactly as the database side expects them.
#pragma once

#include <string>

namespace sql {

// A result's rows carry the time its run ended, by the database clock: the
// clock when the statement runs minus the result's age ($4, $3: seconds)
// when its batch was sent. A state row is never put back to an older run's
// (a late result, or another node's newer run).
inline constexpr const char* kUpdateState =
    "UPDATE flows_collector SET collector_last_execution=r.at, "
    "collector_state=$1::int,collector_message=$2 FROM (SELECT clock_timestamp() - "
    "$4::float8 * interval '1 second' AS at) r WHERE collector_id=$3::int AND "
    "(collector_last_execution IS NULL OR collector_last_execution <= r.at);";
inline constexpr const char* kInsertData =
    "INSERT INTO flows_stats(stat_id, stat_time, stat_data, stat_collector_id) "
    "VALUES (DEFAULT,clock_timestamp() - $3::float8 * interval '1 second',$1::json, $2::int);";
// A batch is one explicit transaction whose id is known before its COMMIT
// is sent; when the reply to the COMMIT is lost, the id says after a
// reconnect whether it committed. The lost session goes first, so that an
// unfinished transaction of it holds no row and settles as aborted (never
// this session, should the server have given it the same process id).
inline constexpr const char* kBatchBegin = "BEGIN";
inline constexpr const char* kBatchId = "SELECT txid_current()";
inline constexpr const char* kBatchCommit = "COMMIT";
inline constexpr const char* kBatchRollback = "ROLLBACK";
inline constexpr const char* kEndLostSession =
    "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid = $1::int"
    " AND pid <> pg_backend_pid()";
inline constexpr const char* kBatchOutcome =
    "SELECT NOT EXISTS (SELECT 1 FROM pg_stat_activity WHERE pid = $1::int"
    " AND pid <> pg_backend_pid()), "
    "txid_status(NULLIF($2::bigint, 0))";
// The collector columns every row-reading statement starts with; each
// statement adds its own FROM, JOIN and WHERE. Values are read as text, by
// the positions below.
inline constexpr const char* kCollectorColumns =
    "SELECT collector_id,plugin_path,EXTRACT(EPOCH FROM plugin_interval) as "
    "interval,collector_name,collector_parameter, channel_name, channel_protocol, "
    "channel_port, channel_ip_dist,plugin_id, EXTRACT(EPOCH FROM "
    "collector_last_execution)::INT as lastexec";
enum CollectorColumn {
  kColumnCollectorId = 0,
  kColumnPluginPath = 1,
  kColumnInterval = 2,
  kColumnName = 3,
  kColumnParameter = 4,
  kColumnChannelName = 5,
  // 6 to 8: channel_protocol, channel_port, channel_ip_dist, not read.
  kColumnPluginId = 9,
  kColumnLastExec = 10,
  kColumnDeleteMark = 11,  // kTakeOverCollectors only
};

// Start-up: every collector.
inline const std::string kLoadService =
    std::string(kCollectorColumns) +
    " FROM flows_collector_plugins JOIN flows_collector ON collector_plugin_id=plugin_id "
    " LEFT JOIN flows_channel ON collector_channel_id = channel_id ";
// The change watcher: the collectors with a pending change, to which it
// adds the change type (two blanks before "FROM", as the administration
// side's tooling has always seen this text).
inline const std::string kCollectorQuery =
    std::string(kCollectorColumns) +
    "  FROM flows_collector_plugins"
    " JOIN flows_collector ON collector_plugin_id=plugin_id"
    " JOIN flows_updel_collector ON updel_collector_id=collector_id"
    " LEFT JOIN flows_channel ON collector_channel_id = channel_id";
// The hand-over between nodes: the listed collectors, with their deletion
// mark.
inline const std::string kTakeOverCollectors =
    std::string(kCollectorColumns) +
    ", collector_delete FROM flows_collector_plugins "
    "JOIN flows_collector ON collector_plugin_id=plugin_id LEFT JOIN flows_channel ON "
    "collector_channel_id = channel_id WHERE collector_id = ANY($1::bigint[])";

inline constexpr const char* kSelectChannels = "SELECT DISTINCT channel_name FROM flows_channel;";
inline constexpr const char* kSelectDeletedPlugins =
    "SELECT plugin_id,collector_id  FROM flows_collector_plugins JOIN flows_collector ON "
    "collector_plugin_id=plugin_id WHERE plugin_delete=TRUE;";
inline constexpr const char* kDeleteCollectorOfPlugin =
    "DELETE FROM flows_collector WHERE collector_id=$1::int ;";
inline constexpr const char* kDeleteDeletedPlugins =
    "DELETE FROM flows_collector_plugins WHERE plugin_delete=TRUE ;";

inline constexpr const char* kDeleteCollector =
    "DELETE FROM flows_collector WHERE collector_id=$1::bigint;";
inline constexpr const char* kPurgePending = "DELETE FROM flows_updel_collector";
inline constexpr const char* kCheckDeleteCollector =
    "SELECT collector_id FROM flows_collector WHERE collector_delete=TRUE";

// Several hosts on one database. The lease expiry is always computed by
// the database clock, so the hosts' clocks never matter.
inline constexpr const char* kCreateNodeTables =
    "SET LOCAL client_min_messages = warning;"
    // Concurrent CREATE TABLE IF NOT EXISTS of one name can still fail on
    // the catalog's unique index; the lock makes the nodes take turns.
    "SELECT pg_advisory_xact_lock(1802466913);"
    "CREATE TABLE IF NOT EXISTS flows_node ("
    " node_name text PRIMARY KEY,"
    " node_channels text NOT NULL DEFAULT '',"
    " node_expiry timestamp with time zone NOT NULL,"
    " node_token text NOT NULL DEFAULT '');"
    // A table made by an earlier daemon has no token column yet.
    "ALTER TABLE flows_node ADD COLUMN IF NOT EXISTS node_token text NOT NULL DEFAULT '';"
    "CREATE TABLE IF NOT EXISTS flows_node_change ("
    " node_name text NOT NULL REFERENCES flows_node (node_name) ON DELETE CASCADE,"
    " updel_id integer NOT NULL REFERENCES flows_updel_collector (updel_id) ON DELETE CASCADE,"
    " PRIMARY KEY (updel_id, node_name));";
// Takes the row, with this daemon's token ($3), unless another daemon holds
// a lease on it that has not run out: no row comes back then.
inline constexpr const char* kClaimNode =
    "INSERT INTO flows_node (node_name, node_channels, node_expiry, node_token)"
    " VALUES ($1, $2, now() + interval '15 s', $3) ON CONFLICT (node_name) DO UPDATE"
    " SET node_channels = EXCLUDED.node_channels, node_expiry = EXCLUDED.node_expiry,"
    " node_token = EXCLUDED.node_token WHERE flows_node.node_expiry <= now() RETURNING node_name";
// Only while the row holds this daemon's token: no row comes back once
// another daemon has taken the name. Also puts the row back when an
// operator deleted it while the node runs.
inline constexpr const char* kRenewNode =
    "INSERT INTO flows_node (node_name, node_channels, node_expiry, node_token)"
    " VALUES ($1, $2, now() + interval '15 s', $3) ON CONFLICT (node_name) DO UPDATE"
    " SET node_channels = EXCLUDED.node_channels, node_expiry = EXCLUDED.node_expiry"
    " WHERE flows_node.node_token = EXCLUDED.node_token RETURNING node_name";
inline constexpr const char* kExpireNode =
    "UPDATE flows_node SET node_expiry = now() WHERE node_name = $1 AND node_token = $2";
inline constexpr const char* kSelectNodes =
    "SELECT node_name, node_channels, node_expiry > now() FROM flows_node";
// Every pending change this node has seen: applied, or of no concern to it.
inline constexpr const char* kAckPending =
    "INSERT INTO flows_node_change (node_name, updel_id)"
    " SELECT $1, updel_id FROM flows_updel_collector ON CONFLICT DO NOTHING";
// A change goes once every live node has seen it, and never before this
// node has (even when its own lease has run out meanwhile).
inline constexpr const char* kPurgeSeenPending =
    "DELETE FROM flows_updel_collector u WHERE EXISTS (SELECT 1 FROM flows_node_change a"
    " WHERE a.node_name = $1 AND a.updel_id = u.updel_id) AND NOT EXISTS (SELECT 1 FROM"
    " flows_node n WHERE n.node_expiry > now() AND NOT EXISTS (SELECT 1 FROM"
    " flows_node_change a WHERE a.node_name = n.node_name AND a.updel_id = u.updel_id))";
inline constexpr const char* kUnseenByNode =
    " AND NOT EXISTS (SELECT 1 FROM flows_node_change a WHERE a.node_name = $1"
    " AND a.updel_id = flows_updel_collector.updel_id)";
inline constexpr const char* kSelectPlacements =
    "SELECT collector_id, channel_name FROM flows_collector"
    " LEFT JOIN flows_channel ON collector_channel_id = channel_id";
// Once per outage: a collector already showing it is left alone.
inline constexpr const char* kRecordNodeDown =
    "UPDATE flows_collector SET collector_last_execution=NOW(), collector_state=3,"
    " collector_message=$1 WHERE collector_id = ANY($2::bigint[])"
    " AND collector_message IS DISTINCT FROM $1";

}  // namespace sql
