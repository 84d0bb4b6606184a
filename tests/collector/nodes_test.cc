// Several kovaFlowCollector nodes sharing the test database: where each
// collector runs, what happens when a node dies, stops or is started twice.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "daemonFixture.h"

namespace kova_test {
namespace {

const std::string kMetricsOfA = "127.0.0.1:" + std::to_string(freeTcpPort());

// One node: a daemon with node_name and node_channels in [KOVA]; the first
// node a serves its metrics (its twin must meet the lease, not the port).
std::unique_ptr<CollectorDaemon> makeNode(const std::string& name, const std::string& channels, bool twin = false) {
  return std::make_unique<CollectorDaemon>(
      DaemonSettings{.interval_check_update = 1, .connection_number = 1, .debug = true,
                     .extra_kova = "node_name=" + name + "\nnode_channels=" + channels + "\n",
                     .metrics_listen = name == "a" && !twin ? kMetricsOfA : ""});
}

// Blanks around a pattern and empty entries are not part of it.
const std::map<std::string, std::string> kChannelsOf = {
    {"a", "edge-a"}, {"b", " edge-b* ,,"}, {"c", ""}};

struct Collector {
  int id;
  std::string name;
  std::string pinned_to;  // empty: floating
};

// Three nodes for the whole suite; the tests run in order and each leaves
// the nodes as the next expects: a, b and c live, then b killed and back,
// then c stopped.
struct NodesState {
  std::map<std::string, std::unique_ptr<CollectorDaemon>> nodes;
  std::vector<Collector> collectors;
  bool started = true;

  NodesState() {
    // Missing tables: the three nodes starting together create them. (The
    // binary's database is made anew at each start, trigger and all.)
    db().exec("DROP TABLE flows_node_change, flows_node;"
              "CREATE TABLE node_test_outages (collector_id integer, message text);"
              "CREATE OR REPLACE FUNCTION node_test_outage() RETURNS trigger LANGUAGE plpgsql AS"
              " $$ BEGIN INSERT INTO node_test_outages VALUES (NEW.collector_id,"
              " NEW.collector_message); RETURN NEW; END $$;"
              "CREATE TRIGGER node_test_outage AFTER UPDATE ON flows_collector FOR EACH ROW"
              " WHEN (NEW.collector_message LIKE 'DAEMON: node %') EXECUTE FUNCTION"
              " node_test_outage();");
    for (const auto& [name, channels] : kChannelsOf) nodes[name] = makeNode(name, channels);
    const int plugin =
        insertPlugin(nodes["a"]->writePlugin("json.sh", "/bin/echo \"{\\\"node\\\": $PPID}\"\n"), "2 seconds");
    const std::map<std::string, int> channels = {  // "edge-a" is no prefix of "edge-ab"
        {"a", insertChannel("edge-a")}, {"b", insertChannel("edge-b1")}, {"", insertChannel("edge-ab")}};
    auto add = [&](const std::string& name, int channel, const std::string& pinned) {
      collectors.push_back({insertCollector({.plugin_id = plugin, .name = name, .channel_id = channel}),
                            name, pinned});
    };
    for (int i = 0; i < 24; ++i) add("f" + std::to_string(i), 0, "");
    for (int i = 0; i < 3; ++i) add("s" + std::to_string(i), channels.at(""), "");
    for (const std::string node : {"a", "b"})
      for (int i = 0; i < 2; ++i) add("p" + node + std::to_string(i), channels.at(node), node);
    for (auto& [name, daemon] : nodes) daemon->start();
    for (auto& [name, daemon] : nodes)
      if (!daemon->waitForLog("#INFO#KOVA was starting....")) {
        ADD_FAILURE() << "node " << name << " did not start:\n" << daemon->log() << daemon->console();
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
    waitFor([&] {
      const std::string since = db().scalar("SELECT now()");
      std::vector<std::vector<std::string>> rows;  // name, runs, nodes, a node's pid
      if (!waitFor([&] {
            rows = db().query(
                "SELECT collector_name, count(stat_id), count(DISTINCT stat_data->>'node'),"
                " min(stat_data->>'node') FROM flows_collector LEFT JOIN flows_stats ON"
                " stat_collector_id = collector_id AND stat_time > '" + since + "' GROUP BY 1");
            return std::ranges::all_of(rows, [&](auto& r) { return idle.count(r[0]) || std::stoi(r[1]) >= 2; });
          }, kDaemonWait))
        return false;
      runners.clear();
      for (const auto& r : rows) {
        if (r[2] != (idle.count(r[0]) ? "0" : "1")) return false;
        for (auto& [name, daemon] : run_->nodes)
          if (r[2] == "1" && std::to_string(daemon->pid()) == r[3]) runners[r[0]] = name;
      }
      return true;
    }, 3 * kDaemonWait);
    return runners;
  }

  static bool statusShows(const std::string& name, const std::string& live) {
    return waitFor([&] {
      return contains(node(name).status(), "\nNODE: " + name + "\nLIVE NODES: " + live + "\n");
    }, kDaemonWait);
  }

  static int reconciles(const std::string& name) {
    return node(name).countInLog("#DEBUG#th_node#reconcile done");
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
  const std::string plugin = db().scalar("SELECT plugin_id FROM flows_collector_plugins");
  const std::string changed_plugin = std::to_string(insertPlugin(
      node("a").writePlugin("changed.sh", "/bin/echo \"{\\\"node\\\": $PPID, \\\"changed\\\": 1}\"\n"), "2 seconds"));
  const Collector deleted = run_->collectors[24];
  const int added = insertCollector({.plugin_id = std::stoi(plugin), .name = "n0", .parameter = "n0"});
  const std::string pending = "INSERT INTO flows_updel_collector (updel_collector_type, updel_collector_id) VALUES ";
  std::string sql = "BEGIN; UPDATE flows_collector SET collector_delete = TRUE WHERE collector_id = " +
                    std::to_string(deleted.id) + ";" + pending + "('ADD', " + std::to_string(added) + ");";
  for (const auto& [node, c] : changed)
    sql += "UPDATE flows_collector SET collector_plugin_id = " + changed_plugin + " WHERE collector_id = " +
           std::to_string(c.id) + ";" + pending + "('UPDATE', " + std::to_string(c.id) + ");";
  db().exec(sql + "COMMIT;");
  for (const auto& [node, c] : changed)
    EXPECT_TRUE(waitFor([&] {
      return db().scalar("SELECT count(*) FROM flows_stats WHERE stat_data->>'changed' = '1'"
                         " AND stat_collector_id = " + std::to_string(c.id)) != "0";
    }, kDaemonWait)) << "the change did not reach node " << node;
  EXPECT_TRUE(waitFor([&] { return !collectorExists(deleted.id); }, kDaemonWait));
  EXPECT_TRUE(waitFor([] { return db().scalar("SELECT count(*) FROM flows_updel_collector") == "0"; },
                      kDaemonWait));
  run_->collectors.erase(run_->collectors.begin() + 24);
  run_->collectors.push_back({added, "n0", ""});
  EXPECT_EQ(settledRunners().size(), run_->collectors.size()) << "never settled after the changes";
  int deletions = 0;
  for (auto& [name, daemon] : run_->nodes)
    deletions += daemon->countInLog("#INFO#supression du service " + std::to_string(deleted.id));
  EXPECT_EQ(deletions, 1);
}

TEST_F(Nodes, KilledNodesWorkMovesItsPinnedCollectorsShowTheOutageOnceThenItReturns) {
  const auto runners = settledRunners();
  ASSERT_EQ(runners.size(), run_->collectors.size());
  node("b").sendSignal(SIGKILL);
  EXPECT_EQ(node("b").waitExit(), -1);
  std::set<std::string> pinned_b;
  for (const Collector& c : run_->collectors)
    if (c.pinned_to == "b") pinned_b.insert(c.name);
  const auto moved = settledRunners(pinned_b);
  ASSERT_EQ(moved.size(), run_->collectors.size() - pinned_b.size()) << "survivors never settled";
  for (const auto& [name, runner] : moved) EXPECT_NE(runner, "b") << name;
  for (const std::string name : {"a", "c"}) EXPECT_TRUE(statusShows(name, "a,c"));
  EXPECT_TRUE(waitFor([] {
    const std::string text = commandOutput("curl -s http://" + kMetricsOfA + "/metrics");
    return contains(text, "\nkova_live_nodes 2\n") && contains(text, "\nkova_node_up{node=\"b\"} 0\n");
  }, kDaemonWait)) << commandOutput("curl -s http://" + kMetricsOfA + "/metrics");
  // Two more hand-over passes on each survivor add no second record.
  const int a_passes = reconciles("a"), c_passes = reconciles("c");
  ASSERT_TRUE(waitFor([&] { return reconciles("a") >= a_passes + 2 && reconciles("c") >= c_passes + 2; },
                      kDaemonWait));
  for (const Collector& c : run_->collectors) {
    if (c.pinned_to != "b") continue;
    const std::string id = std::to_string(c.id);
    EXPECT_EQ(collectorField(c.id, "collector_state"), "3") << c.name;
    EXPECT_EQ(collectorField(c.id, "collector_message"), "DAEMON: node b is down") << c.name;
    EXPECT_EQ(db().scalar("SELECT count(*) FROM node_test_outages WHERE collector_id = " + id), "1");
    EXPECT_EQ(db().scalar("SELECT count(*) FROM flows_stats s, flows_collector c WHERE"
                          " stat_collector_id = " + id + " AND c.collector_id = " + id +
                          " AND stat_time > c.collector_last_execution"), "0") << c.name;
  }

  run_->nodes["b"] = makeNode("b", kChannelsOf.at("b"));
  ASSERT_TRUE(node("b").startAndWaitRunning());
  const auto back = settledRunners();
  ASSERT_EQ(back.size(), run_->collectors.size()) << "never settled after the return";
  std::set<std::string> runners_back;
  for (const auto& [name, runner] : back) runners_back.insert(runner);
  EXPECT_EQ(runners_back.size(), 3u);
  for (const std::string& name : pinned_b) EXPECT_EQ(back.at(name), "b");
}

// A second daemon with a live node's name is refused; a stopped node gives
// its lease up at once and keeps its row.
TEST_F(Nodes, TwinIsRefusedStoppedNodeGivesItsLeaseUpAtOnce) {
  auto twin = makeNode("a", "edge-a", true);
  twin->start();
  EXPECT_EQ(twin->waitExit(), 1) << twin->log();
  EXPECT_TRUE(contains(twin->log(), "#ERR#node a is already running")) << twin->log();
  ASSERT_EQ(node("c").stop(), 0) << node("c").log();
  EXPECT_EQ(db().scalar("SELECT string_agg(node_name || (node_expiry > now()), ',' ORDER BY node_name)"
                        " FROM flows_node"), "atrue,btrue,cfalse");
  run_->nodes.erase("c");
  for (const std::string name : {"a", "b"}) EXPECT_TRUE(statusShows(name, "a,b"));
  const auto runners = settledRunners();
  ASSERT_EQ(runners.size(), run_->collectors.size());
  for (const auto& [name, runner] : runners) EXPECT_TRUE(runner == "a" || runner == "b") << name;
}

}  // namespace
}  // namespace kova_test
