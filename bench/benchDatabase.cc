// Set-up in bulk (generate_series) and the start-time analysis, in SQL so
// that the rows never leave the server.
#include "benchDatabase.h"

#include <string>

namespace kova_bench {

namespace {

std::string literal(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += (c == '\'') ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

double number(const std::string& text) { return text.empty() ? 0 : std::stod(text); }

}  // namespace

void prepareCollectors(kova_test::TestDatabase& db, const std::string& plugin,
                       const std::string& interval, int count) {
  db.resetTables();
  db.exec(
      "INSERT INTO flows_channel (channel_name, channel_protocol, channel_port)"
      " VALUES ('bench', 'netflow', '9995')");
  db.exec(
      "INSERT INTO flows_collector_plugins (plugin_name, plugin_path, plugin_interval)"
      " VALUES ('bench', " +
      literal(plugin) + ", " + literal(interval) + ")");
  db.exec(
      "INSERT INTO flows_collector (collector_name, collector_plugin_id, collector_parameter)"
      " SELECT 'bench ' || g, 1, g::text FROM generate_series(1, " +
      std::to_string(count) + ") AS g");
  // Dead rows of the previous phase go, and the planner sees the new sizes.
  db.exec("VACUUM ANALYZE flows_collector, flows_stats");
}

long long recordedRuns(kova_test::TestDatabase& db) {
  return std::stoll(db.scalar("SELECT count(*) FROM flows_stats"));
}

Timeliness analyseStarts(kova_test::TestDatabase& db, long long from_us, long long to_us,
                         long long interval_us) {
  const std::string window = "(stat_data->>'t')::bigint >= " + std::to_string(from_us) +
                             " AND (stat_data->>'t')::bigint < " + std::to_string(to_us);
  const std::string starts =
      "SELECT stat_collector_id AS c, (stat_data->>'t')::bigint AS t FROM flows_stats WHERE " +
      window;
  Timeliness result;
  const auto gaps = db.query(
      "WITH s AS (" + starts + "), g AS (SELECT (t - lag(t) OVER (PARTITION BY c ORDER BY t) - " +
      std::to_string(interval_us) +
      ") / 1000.0 AS d FROM s)"
      " SELECT count(d), percentile_cont(0.5) WITHIN GROUP (ORDER BY d),"
      " percentile_cont(0.99) WITHIN GROUP (ORDER BY d), max(d), min(d) FROM g WHERE d IS NOT NULL");
  result.gaps = std::stoll(gaps[0][0]);
  result.median_ms = number(gaps[0][1]);
  result.p99_ms = number(gaps[0][2]);
  result.max_ms = number(gaps[0][3]);
  result.min_ms = number(gaps[0][4]);
  // Only the whole seconds inside the window, so that its edges count no
  // collector as skipped.
  const std::string first = std::to_string(from_us / 1000000 + 1);
  const std::string last = std::to_string(to_us / 1000000 - 1);
  const auto cells = db.query(
      "WITH s AS (" + starts +
      "), per AS (SELECT c, t / 1000000 AS sec, count(*) AS n FROM s"
      " GROUP BY 1, 2), grid AS (SELECT collector_id AS c, sec FROM flows_collector,"
      " generate_series(" +
      first + "::bigint, " + last +
      "::bigint) AS sec)"
      " SELECT count(*), count(*) FILTER (WHERE per.n IS NULL), count(*) FILTER (WHERE per.n > 1)"
      " FROM grid LEFT JOIN per USING (c, sec)");
  result.cells = std::stoll(cells[0][0]);
  result.skipped = std::stoll(cells[0][1]);
  result.doubled = std::stoll(cells[0][2]);
  return result;
}

Restarts firstStartsAfter(kova_test::TestDatabase& db, const std::vector<int>& ids,
                          long long from_us) {
  std::string array = "{";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) array += ",";
    array += std::to_string(ids[i]);
  }
  array += "}";
  const auto row = db.query(
      "SELECT count(*), min(m), max(m) FROM (SELECT stat_collector_id,"
      " min((stat_data->>'t')::bigint) AS m FROM flows_stats WHERE stat_collector_id = ANY('" +
      array + "'::int[]) AND (stat_data->>'t')::bigint > " + std::to_string(from_us) +
      " GROUP BY 1) AS firsts");
  Restarts restarts;
  restarts.started = std::stoll(row[0][0]);
  restarts.earliest_us = row[0][1].empty() ? 0 : std::stoll(row[0][1]);
  restarts.latest_us = row[0][2].empty() ? 0 : std::stoll(row[0][2]);
  return restarts;
}

}  // namespace kova_bench
