// Several kovaFlowCollector nodes sharing the test database: where each
// collector runs, what happens when a node loses the database, stalls,
// stops or is started twice.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "daemonFixture.h"
#include "nodes/nodeOwnership.h"

namespace kova_test {
namespace {

const std::string kMetricsOfA = "127.0.0.1:" + std::to_string(freeTcpPort());

// One node: a daemon with node_name and node_channels in [KOVA], and libpq
// options when given; the first node a serves its metrics (its twin must
// meet the lease, not the port).
std::unique_ptr<CollectorDaemon> makeNode(const std::string& name, const std::string& channels,
                                          const std::string& options = "", bool twin = false) {
  auto node = std::make_unique<CollectorDaemon>(
      DaemonSettings{.interval_check_update = 1,
                     .connection_number = 1,
                     .extra_kova = "node_name=" + name + "\nnode_channels=" + channels + "\n",
                     .metrics_listen = name == "a" && !twin ? kMetricsOfA : ""});
  if (!options.empty()) node->writeConfig(node->configText() + "PGSQL_options=" + options + "\n");
  return node;
}

// b takes read-write sessions only: a database whose new sessions are
// read-only refuses b alone, once b's sessions are ended.
const std::string kOptionsOfB = "application_name=node-b target_session_attrs=read-write";
const std::string kWritable = "SET transaction_read_only = off;";

const std::map<std::string, std::string> kChannelsOf = {
    {"a", "edge-a"}, {"b", "edge-b*"}, {"c", ""}};

struct Collector {
  int id;
  std::string name;
  std::string pinned_to;  // empty: floating
};

// Three nodes for the whole suite; the tests run in order and each leaves
// the nodes as the next expects: a, b and c live, then b cut off and back,
// then b stalled and replaced, then c stopped.
struct NodesState {
  std::map<std::string, std::unique_ptr<CollectorDaemon>> nodes;
  std::vector<Collector> collectors;
  bool started = true;
  int changed_plugin = 0;

  NodesState() {
    // Missing tables: the three nodes starting together create them. (The
    // binary's database is made anew at each start, trigger and all.)
    db().exec(
        "DROP TABLE flows_node_change, flows_node;"
        "CREATE TABLE node_test_outages (collector_id integer, message text, at timestamptz DEFAULT now());"
        "CREATE OR REPLACE FUNCTION node_test_outage() RETURNS trigger LANGUAGE plpgsql AS"
        " $$ BEGIN INSERT INTO node_test_outages VALUES (NEW.collector_id,"
        " NEW.collector_message); RETURN NEW; END $$;"
        "CREATE TRIGGER node_test_outage AFTER UPDATE ON flows_collector FOR EACH ROW"
        " WHEN (NEW.collector_message LIKE 'DAEMON: node %' AND OLD.collector_message IS DISTINCT FROM"
        " NEW.collector_message) EXECUTE FUNCTION"
        " node_test_outage();");
    for (const auto& [name, channels] : kChannelsOf)
      nodes[name] = makeNode(name, channels, name == "b" ? kOptionsOfB : "");
    const int plugin = insertPlugin(
        nodes["a"]->writePlugin("json.sh", "/bin/echo \"{\\\"node\\\": $PPID}\"\n"), "2 seconds");
    changed_plugin =
        insertPlugin(nodes["a"]->writePlugin(
                         "changed.sh", "/bin/echo \"{\\\"node\\\": $PPID, \\\"changed\\\": 1}\"\n"),
                     "2 seconds");
    const std::map<std::string, int> channels = {{"a", insertChannel("edge-a")},
                                                 {"b", insertChannel("edge-b1")}};
    auto add = [&](const std::string& name, int channel, const std::string& pinned) {
      collectors.push_back(
          {insertCollector({.plugin_id = plugin, .name = name, .channel_id = channel}), name,
           pinned});
    };
    for (int i = 0; i < 24; ++i) add("f" + std::to_string(i), 0, "");
    for (const std::string node : {"a", "b"})
      for (int i = 0; i < 2; ++i) add("p" + node + std::to_string(i), channels.at(node), node);
    for (auto& [name, daemon] : nodes) daemon->start();
    for (auto& [name, daemon] : nodes)
      if (!daemon->waitForLog("#INFO#KOVA was starting....")) {
        ADD_FAILURE() << "node " << name << " did not start:\n"
                      << daemon->log() << daemon->console();
        started = false;
      }
  }
};

class Nodes : public SharedRun<NodesState> {
 protected:
  static CollectorDaemon& node(const std::string& name) { return *run_->nodes.at(name); }

  // Waits until, over a span in which every collector ran at least twice,
  // each ran on one node only; returns that node per collector (empty map
  // when it never settles). Collectors in `idle` must not run at all. Each
  // run's JSON names the node's process, its plugin's parent.
  static std::map<std::string, std::string> settledRunners(const std::set<std::string>& idle = {}) {
    std::map<std::string, std::string> runners;
    waitFor(
        [&] {
          const std::string since = db().scalar("SELECT now()");
          std::vector<std::vector<std::string>> rows;  // name, runs, nodes, a node's pid
          const std::string sql =
              "SELECT collector_name, count(stat_id), count(DISTINCT stat_data->>'node'),"
              " min(stat_data->>'node') FROM flows_collector LEFT JOIN flows_stats ON"
              " stat_collector_id = collector_id AND stat_time > '" +
              since + "' GROUP BY 1";
          const auto ranTwice = [&](auto& r) { return idle.count(r[0]) || std::stoi(r[1]) >= 2; };
          if (!waitUntil([&] { return std::ranges::all_of(rows = db().query(sql), ranTwice); }))
            return false;
          runners.clear();
          for (const auto& r : rows) {
            if (r[2] != (idle.count(r[0]) ? "0" : "1")) return false;
            for (auto& [name, daemon] : run_->nodes)
              if (r[2] == "1" && std::to_string(daemon->pid()) == r[3]) runners[r[0]] = name;
          }
          return true;
        },
        3 * kDaemonWait);
    return runners;
  }

  static bool statusShows(const std::string& name, const std::string& live) {
    const std::string lines = "\nNODE: " + name + "\nLIVE NODES: " + live + "\n";
    return waitUntil([&] { return contains(node(name).status(), lines); });
  }

  // A pending change: the collector runs the changed plugin from now on.
  static std::string changeSql(int id) {
    return "UPDATE flows_collector SET collector_plugin_id = " +
           std::to_string(run_->changed_plugin) + " WHERE collector_id = " + std::to_string(id) +
           ";" + pendingSql("UPDATE", id);
  }

  static bool runsChanged(int id) {
    return waitForScalar(
        "SELECT count(*) > 0 FROM flows_stats WHERE stat_data->>'changed' = '1'"
        " AND stat_collector_id = " +
            std::to_string(id),
        "t");
  }
};

// Every collector runs on exactly one node, pinned ones on their own. Each
// node reads the pending rows, and the rows go once all three have seen
// them: whichever node reads them first, a change of a collector that
// another node runs reaches that node.
TEST_F(Nodes, EveryCollectorRunsOnOneNodeThatItsChangesReach) {
  for (const std::string name : {"a", "b", "c"}) EXPECT_TRUE(statusShows(name, "a,b,c")) << name;
  const auto runners = settledRunners();
  ASSERT_EQ(runners.size(), run_->collectors.size()) << "never settled on one node each";
  std::map<std::string, Collector> changed;  // a floating collector of each node
  for (const Collector& c : run_->collectors) {
    if (c.pinned_to.empty()) changed.emplace(runners.at(c.name), c);
    else EXPECT_EQ(runners.at(c.name), c.pinned_to) << c.name;
  }
  ASSERT_EQ(changed.size(), 3u) << "floating collectors are not shared out";
  EXPECT_EQ(db().scalar("SELECT count(*) FROM node_test_outages"), "0");
  const std::string plugin = collectorField(run_->collectors[0].id, "collector_plugin_id");
  const Collector deleted = run_->collectors[24];
  const int added =
      insertCollector({.plugin_id = std::stoi(plugin), .name = "n0", .parameter = "n0"});
  std::string sql =
      "BEGIN; UPDATE flows_collector SET collector_delete = TRUE WHERE collector_id = " +
      std::to_string(deleted.id) + ";" + pendingSql("ADD", added);
  for (const auto& [node, c] : changed) sql += changeSql(c.id);
  db().exec(sql + "COMMIT;");
  for (const auto& [node, c] : changed)
    EXPECT_TRUE(runsChanged(c.id)) << "the change did not reach node " << node;
  EXPECT_TRUE(waitUntil([&] { return !collectorExists(deleted.id); }));
  EXPECT_TRUE(waitForScalar("SELECT count(*) FROM flows_updel_collector", "0"));
  run_->collectors.erase(run_->collectors.begin() + 24);
  run_->collectors.push_back({added, "n0", ""});
  EXPECT_EQ(settledRunners().size(), run_->collectors.size()) << "never settled after the changes";
  int deletions = 0;
  for (auto& [name, daemon] : run_->nodes)
    deletions += daemon->countInLog("#INFO#supression du service " + std::to_string(deleted.id));
  EXPECT_EQ(deletions, 1);
}

// b loses the database (its sessions ended, new ones refused) for longer
// than its lease: it stops starting runs before the survivors take its
// collectors over, so that no collector runs on two nodes at once, and on
// its return it runs a change made and purged while it was away.
TEST_F(Nodes, CutOffNodeStopsRunningBeforeTheTakeOverAndCatchesUpOnItsReturn) {
  ASSERT_EQ(settledRunners().size(), run_->collectors.size());
  const std::string cut_at = db().scalar("SELECT now()");
  const std::string read_only =
      "ALTER DATABASE " + db().dbname() + " SET default_transaction_read_only = ";
  db().exec(read_only + "on");
  db().exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'node-b'");
  EXPECT_TRUE(
      node("b").waitForLog("#ERR#node b: lease not renewed for 10 s, no run starts until it is"));
  for (const std::string name : {"a", "c"}) EXPECT_TRUE(statusShows(name, "a,c"));
  const std::string metrics = "curl -s http://" + kMetricsOfA + "/metrics";
  const auto b_down = [&](const std::string& text) {
    return contains(text, "\nkova_live_nodes 2\n") &&
           contains(text, "\nkova_node_up{node=\"b\"} 0\n");
  };
  EXPECT_TRUE(waitUntil([&] { return b_down(commandOutput(metrics)); })) << commandOutput(metrics);
  const Collector pinned = *std::ranges::find(run_->collectors, "b", &Collector::pinned_to);
  db().exec(kWritable + changeSql(pinned.id));
  EXPECT_TRUE(waitForScalar("SELECT count(*) FROM flows_updel_collector", "0"));
  const std::string back_at = db().scalar("SELECT now()");
  db().exec(kWritable + read_only + "off");
  EXPECT_TRUE(node("b").waitForLog("#INFO#node b: lease renewed, runs start again"))
      << node("b").log();
  EXPECT_TRUE(runsChanged(pinned.id));
  const auto back = settledRunners();  // b's results of before the cut are written by now
  ASSERT_EQ(back.size(), run_->collectors.size()) << "never settled after the return";
  for (const Collector& c : run_->collectors)
    EXPECT_TRUE(c.pinned_to.empty() || back.at(c.name) == c.pinned_to);
  EXPECT_EQ(
      db().scalar("SELECT count(*) FROM node_test_outages JOIN flows_collector USING (collector_id)"
                  " JOIN flows_channel ON channel_id = collector_channel_id WHERE"
                  " channel_name = 'edge-b1' AND message = 'DAEMON: node b is down' AND at < '" +
                  back_at + "'"),
      "2");
  const std::string within = " BETWEEN '" + cut_at + "' AND '" + back_at + "'";
  EXPECT_EQ(
      db().scalar(
          "SELECT count(*) FROM flows_stats x JOIN flows_stats y USING (stat_collector_id) WHERE"
          " x.stat_data->>'node' < y.stat_data->>'node' AND x.stat_time" +
          within + " AND y.stat_time" + within +
          " AND abs(extract(epoch FROM x.stat_time - y.stat_time)) < 2"),
      "0")
      << "runs of one collector on two nodes within one interval";
}

// A second daemon is refused a live node's name but takes a lapsed one:
// the first, stalled meanwhile, exits 1 once it goes on.
TEST_F(Nodes, TwinTakesALapsedNameFromAStalledNodeThatThenStops) {
  auto twin = makeNode("a", "edge-a", "", true);
  twin->start();
  EXPECT_EQ(twin->waitExit(), 1) << twin->log();
  EXPECT_TRUE(contains(twin->log(), "#ERR#node a is already running")) << twin->log();
  auto stalled = std::move(run_->nodes["b"]);
  stalled->sendSignal(SIGSTOP);
  ASSERT_TRUE(
      waitForScalar("SELECT node_expiry < now() FROM flows_node WHERE node_name = 'b'", "t"));
  run_->nodes["b"] = makeNode("b", kChannelsOf.at("b"));
  ASSERT_TRUE(node("b").startAndWaitRunning());
  stalled->sendSignal(SIGCONT);
  EXPECT_EQ(stalled->waitExit(), 1) << stalled->log();
  EXPECT_TRUE(contains(
      stalled->log(), "#ERR#node b was taken by another daemon with the same node_name: stopping"));
  const auto runners = settledRunners();
  ASSERT_EQ(runners.size(), run_->collectors.size());
  for (const Collector& c : run_->collectors)
    EXPECT_TRUE(c.pinned_to != "b" || runners.at(c.name) == "b");
}

// A node stopped while its plugin runs 5 s gives its lease up once that
// run is over and written, and keeps its row: its collector starts on a
// survivor only then.
TEST_F(Nodes, StoppedNodeHandsOverAfterItsLastRun) {
  const std::vector<NodeInfo> live = {{"a", {}, true}, {"b", {}, true}, {"c", {}, true}};
  int id = 1000;
  while (placeCollector(live, id, "").runner != "c") ++id;
  const std::string started = node("a").file("slow-" + std::to_string(node("c").pid()));
  const int plugin = insertPlugin(
      node("a").writePlugin(
          "slow.sh", "s=$(/bin/date +%s.%N)\n/bin/touch " + node("a").file("slow-") +
                         "$PPID\n/bin/sleep 5\n/bin/echo \"{\\\"node\\\": $PPID, \\\"start\\\": $s,"
                         " \\\"end\\\": $(/bin/date +%s.%N)}\"\n"),
      "2 seconds");
  run_->collectors.push_back(
      {insertCollector({.plugin_id = plugin, .name = "slow", .collector_id = id}), "slow", ""});
  ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(started); }));
  const std::string by_c = "stat_collector_id = " + std::to_string(id) +
                           " AND stat_data->>'node' = '" + std::to_string(node("c").pid()) + "'";
  ASSERT_EQ(node("c").stop(), 0) << node("c").log();
  EXPECT_EQ(
      db().scalar("SELECT string_agg(node_name || (node_expiry > now()), ',' ORDER BY node_name)"
                  " FROM flows_node"),
      "atrue,btrue,cfalse");
  run_->nodes.erase("c");
  for (const std::string name : {"a", "b"}) EXPECT_TRUE(statusShows(name, "a,b"));
  const auto runners = settledRunners();
  ASSERT_EQ(runners.size(), run_->collectors.size());
  for (const auto& [name, runner] : runners) EXPECT_TRUE(runner == "a" || runner == "b") << name;
  EXPECT_EQ(db().scalar(
                "SELECT min((stat_data->>'start')::float) > (SELECT max((stat_data->>'end')::float)"
                " FROM flows_stats WHERE " +
                by_c + ") FROM flows_stats WHERE stat_collector_id = " + std::to_string(id) +
                " AND NOT (" + by_c + ")"),
            "t");
}

}  // namespace
}  // namespace kova_test
