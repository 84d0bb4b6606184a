// The scheduler's SQL texts, exactly as the database side expects them.
#pragma once

namespace sql {

inline constexpr const char* kUpdateState =
    "UPDATE flows_collector SET collector_last_execution=NOW(), "
    "collector_state=$1::int,collector_message=$2 WHERE collector_id=$3::int;";
inline constexpr const char* kInsertData =
    "INSERT INTO flows_stats(stat_id, stat_time, stat_data, stat_collector_id) "
    "VALUES (DEFAULT,NOW(),$1::json, $2::int);";
// Results kept through a database outage are written with the time of
// their run ($4, $3: seconds since the epoch) instead of NOW().
inline constexpr const char* kReplayState =
    "UPDATE flows_collector SET collector_last_execution=to_timestamp($4::double precision), "
    "collector_state=$1::int,collector_message=$2 WHERE collector_id=$3::int;";
inline constexpr const char* kReplayData =
    "INSERT INTO flows_stats(stat_id, stat_time, stat_data, stat_collector_id) "
    "VALUES (DEFAULT,to_timestamp($3::double precision),$1::json, $2::int);";
inline constexpr const char* kLoadService =
    "SELECT collector_id,plugin_path,EXTRACT(EPOCH FROM plugin_interval) as "
    "interval,collector_name,collector_parameter, channel_name, channel_protocol, "
    "channel_port, channel_ip_dist,plugin_id, EXTRACT(EPOCH FROM "
    "collector_last_execution)::INT as lastexec FROM flows_collector_plugins JOIN "
    "flows_collector ON collector_plugin_id=plugin_id  LEFT JOIN flows_channel ON "
    "collector_channel_id = channel_id ";
inline constexpr const char* kSelectChannels = "SELECT DISTINCT channel_name FROM flows_channel;";
inline constexpr const char* kSelectDeletedPlugins =
    "SELECT plugin_id,collector_id  FROM flows_collector_plugins JOIN flows_collector ON "
    "collector_plugin_id=plugin_id WHERE plugin_delete=TRUE;";
inline constexpr const char* kDeleteCollectorOfPlugin =
    "DELETE FROM flows_collector WHERE collector_id=$1::int ;";
inline constexpr const char* kDeleteDeletedPlugins =
    "DELETE FROM flows_collector_plugins WHERE plugin_delete=TRUE ;";

// The change watcher's collector query (two blanks between "lastexec" and
// "FROM", as the administration side's tooling has always seen it).
inline constexpr const char* kCollectorQuery =
    "SELECT collector_id,plugin_path,EXTRACT(EPOCH FROM plugin_interval) as "
    "interval,collector_name,collector_parameter, "
    "channel_name, channel_protocol, channel_port, channel_ip_dist,plugin_id, EXTRACT(EPOCH "
    "FROM collector_last_execution)::INT as lastexec "
    " FROM flows_collector_plugins"
    " JOIN flows_collector ON collector_plugin_id=plugin_id"
    " JOIN flows_updel_collector ON updel_collector_id=collector_id"
    " LEFT JOIN flows_channel ON collector_channel_id = channel_id";
inline constexpr const char* kDeleteCollector =
    "DELETE FROM flows_collector WHERE collector_id=$1::bigint;";
inline constexpr const char* kPurgePending = "DELETE FROM flows_updel_collector";
inline constexpr const char* kCheckDeleteCollector =
    "SELECT collector_id FROM flows_collector WHERE collector_delete=TRUE";

}  // namespace sql
