// End-to-end tests of kovaFlowCollector: start-up, plugin runs and their
// recording, the status file, and the stop, against the real database.
#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "daemonFixture.h"

namespace kova_test {
namespace {

TestDatabase& db() { return TestDatabase::instance(); }

// The block of one core record in a status report.
std::string coreBlock(const std::string& report, int index) {
  const size_t begin = report.find("CORE " + std::to_string(index) + "\t");
  if (begin == std::string::npos) return "";
  return report.substr(begin, report.find("\n\n", begin) - begin);
}

// Every record's workers are waiting; two records of two workers.
bool allIdle(const std::string& report) {
  return contains(coreBlock(report, 0), "Thread active: 0 / 2") &&
         contains(coreBlock(report, 1), "Thread active: 0 / 2");
}

// One daemon for the whole suite: two core records of two workers, debug
// on, a log file left over from an earlier run, and one collector per
// behaviour, each with a 5-minute interval so that it runs once.
class ScheduledRun : public ::testing::Test {
 protected:
  struct Run {
    CollectorDaemon daemon{{.core_number = 2, .thread_number = 2, .debug = true}};
    int json = 0, failing = 0, silent = 0, with_channel = 0, without_channel = 0;
    int past = 0, future = 0, purged_plugin = 0, purged = 0;
    int zero_plugin = 0, too_long_plugin = 0;
    bool started = false;
  };

  static void SetUpTestSuite() {
    db().resetTables();
    run_ = std::make_unique<Run>();
    CollectorDaemon& daemon = run_->daemon;
    const int edge = insertChannel("edge");
    insertChannel("core");
    auto plugin = [&](const std::string& name, const std::string& body) {
      return insertPlugin(daemon.writePlugin(name, body), "5 minutes");
    };
    const int json = plugin("json.sh", "/bin/echo '{\"bytes\": 42}'\n");
    const int failing = plugin("fail.sh", "/bin/echo 'disk full'\nexit 2\n");
    const int silent = plugin("silent.sh", "exit 0\n");
    const int args = plugin("args.sh", "/bin/echo \"$@\"\nexit 1\n");
    run_->json = insertCollector({.plugin_id = json, .name = "json"});
    run_->failing = insertCollector({.plugin_id = failing, .name = "failing"});
    run_->silent = insertCollector({.plugin_id = silent, .name = "silent"});
    run_->with_channel = insertCollector(
        {.plugin_id = args, .name = "ch", .parameter = "-c $CHANNEL -i $INTERVAL", .channel_id = edge});
    run_->without_channel = insertCollector({.plugin_id = args, .name = "no ch", .parameter = "-c $CHANNEL"});
    run_->past = insertCollector(
        {.plugin_id = args, .name = "past", .parameter = "past", .last_execution = "now() - interval '2 minutes'"});
    run_->future = insertCollector(
        {.plugin_id = args, .name = "future", .parameter = "future", .last_execution = "now() + interval '1 day'"});
    // Intervals the millisecond field cannot hold: refused row by row.
    run_->zero_plugin = insertPlugin("/bin/true", "0 seconds");
    run_->too_long_plugin = insertPlugin("/bin/true", "30 days");
    insertCollector({.plugin_id = run_->zero_plugin, .name = "zero"});
    insertCollector({.plugin_id = run_->too_long_plugin, .name = "too long"});
    run_->purged_plugin =
        insertPlugin(daemon.writePlugin("purged.sh", "/bin/touch " + daemon.file("purged-ran")), "5 minutes", true);
    run_->purged = insertCollector({.plugin_id = run_->purged_plugin, .name = "purged"});
    run_->started = daemon.startAndWaitRunning();
  }

  static void TearDownTestSuite() { run_.reset(); }

  // Without a running daemon every check would only wait for its bound.
  void SetUp() override { ASSERT_TRUE(run_ && run_->started) << "the daemon did not start"; }

  static CollectorDaemon& daemon() { return run_->daemon; }

  // Waits until the collector has a recorded state; returns it.
  static std::string waitForState(int collector_id) {
    waitFor([&] { return !collectorField(collector_id, "collector_state").empty(); }, kDaemonWait);
    return collectorField(collector_id, "collector_state");
  }

  static std::unique_ptr<Run> run_;
};

std::unique_ptr<ScheduledRun::Run> ScheduledRun::run_;

TEST_F(ScheduledRun, LoadPurgesDeletedPluginsFirstAndSkipsUnusableIntervals) {
  const std::string log = daemon().log();
  ASSERT_NE(log.find("#INFO#DELETE OLD SERVICE "), std::string::npos) << log;
  EXPECT_LT(log.find("#INFO#DELETE OLD SERVICE "), log.find("#INFO#LOAD SERVICE")) << log;
  EXPECT_FALSE(collectorExists(run_->purged));
  EXPECT_EQ(db().scalar("SELECT count(*) FROM flows_collector_plugins WHERE plugin_id = " +
                        std::to_string(run_->purged_plugin)), "0");
  EXPECT_TRUE(collectorExists(run_->json));
  for (int plugin : {run_->zero_plugin, run_->too_long_plugin})
    EXPECT_EQ(daemon().countInLog("#ERR#Failed to initial load service: " + std::to_string(plugin)), 1);
}

TEST_F(ScheduledRun, JsonOutputIsStoredWithStateZeroAndMessageOk) {
  const std::string id = std::to_string(run_->json);
  ASSERT_EQ(waitForState(run_->json), "0");
  EXPECT_EQ(collectorField(run_->json, "collector_message"), "OK");
  EXPECT_TRUE(waitFor([&] {
    return db().scalar("SELECT string_agg(stat_data->>'bytes', ',') FROM flows_stats WHERE stat_collector_id = " +
                       id) == "42";
  }));
}

TEST_F(ScheduledRun, FailingPluginRecordsItsStateAndTextWithoutStats) {
  ASSERT_EQ(waitForState(run_->failing), "2");
  EXPECT_EQ(collectorField(run_->failing, "collector_message"), "disk full\n");
  EXPECT_EQ(db().scalar("SELECT count(*) FROM flows_stats WHERE stat_collector_id = " +
                        std::to_string(run_->failing)), "0");
}

TEST_F(ScheduledRun, SilentPluginIsTriedThreeTimesThenRecordedAsState3) {
  ASSERT_EQ(waitForState(run_->silent), "3");
  EXPECT_EQ(collectorField(run_->silent, "collector_message"),
            "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(daemon().countInLog("#ERR#Excute failed retrysilent " + std::to_string(run_->silent) +
                                " DAEMON: the plugin does not return anything on the stdout"),
            3)
      << daemon().log();
}

TEST_F(ScheduledRun, ChannelAndIntervalAreFilledInTheParameters) {
  // The interval text exactly as the database renders it.
  const std::string interval = db().scalar("SELECT EXTRACT(EPOCH FROM interval '5 minutes')");
  ASSERT_EQ(waitForState(run_->with_channel), "1");
  EXPECT_EQ(collectorField(run_->with_channel, "collector_message"),
            "-c edge -i " + interval + "\n");

  ASSERT_EQ(waitForState(run_->without_channel), "1");
  // Every channel, in whatever order the database lists them.
  const std::string message = collectorField(run_->without_channel, "collector_message");
  EXPECT_TRUE(message == "-c core:edge\n" || message == "-c edge:core\n") << message;
}

TEST_F(ScheduledRun, FirstRunFollowsTheLastExecutionTime) {
  // Due at its last execution, which is past: it runs at once.
  ASSERT_EQ(waitForState(run_->past), "1");
  EXPECT_EQ(collectorField(run_->past, "collector_message"), "past\n");
  EXPECT_EQ(db().scalar("SELECT collector_last_execution > now() - interval '1 minute'"
                        " FROM flows_collector WHERE collector_id = " +
                        std::to_string(run_->past)),
            "t");
  // Due tomorrow: still not run once every other collector has.
  for (int id :
       {run_->json, run_->failing, run_->silent, run_->with_channel, run_->without_channel})
    ASSERT_FALSE(waitForState(id).empty());
  EXPECT_EQ(collectorField(run_->future, "collector_state"), "");
  // Nor has the collector of the purged plugin.
  EXPECT_FALSE(fileExists(daemon().file("purged-ran")));
}

TEST_F(ScheduledRun, CollectorsAreSpreadOverTheCoreRecordsByLoad) {
  // Seven collectors of weight 1 (one run per 5 minutes): 4 and 3. Once
  // every collector has run all of them wait again in their queues.
  std::string report;
  ASSERT_TRUE(waitFor(
      [&] {
        report = daemon().status();
        return allIdle(report) && contains(report, "TOTAL SERVICE: 7\n");
      },
      kDaemonWait))
      << report;
  EXPECT_EQ(report.rfind("CORE NUMBER: 2\n", 0), 0u) << report;
  EXPECT_TRUE(contains(coreBlock(report, 0), "Estimated load: 4\n")) << report;
  EXPECT_TRUE(contains(coreBlock(report, 0), "Queue Size: 4")) << report;
  EXPECT_TRUE(contains(coreBlock(report, 1), "Estimated load: 3\n")) << report;
  EXPECT_TRUE(contains(coreBlock(report, 1), "Queue Size: 3")) << report;
}

TEST_F(ScheduledRun, DebugOptionWritesTraceLines) {
  ASSERT_TRUE(daemon().waitForLog("#DEBUG#th_loaddel#dodo")) << daemon().log();
  EXPECT_GT(daemon().countInLog("#json  Execution du script =>old state:"), 0) << daemon().log();
}

TEST_F(ScheduledRun, SigtermWhileIdleEndsEveryWorkerAndExitsZero) {
  ASSERT_TRUE(waitFor([] { return allIdle(daemon().status()); }, kDaemonWait));
  EXPECT_EQ(daemon().stop(), 0) << daemon().log() << daemon().console();
  const std::string log = daemon().log();
  const size_t stop = log.find("#INFO#stop kova... SIGTERM");
  ASSERT_NE(stop, std::string::npos) << log;
  EXPECT_GT(log.find("#INFO#KOVA is stopping...."), stop) << log;
  EXPECT_EQ(log.find("#INFO#KOVA is stopping...."), log.rfind("#INFO#")) << log;
  EXPECT_EQ(daemon().countInLog("\tfin thread: "), 4) << log;
  EXPECT_EQ(daemon().countInLog(" nbr:0 "), 2) << log;
}

// Two records of two workers each: four plugins that wait for each other
// and for the test can only all start when the four workers run them side
// by side. SIGTERM then arrives while all four run.
TEST(CollectorStop, PluginsRunningAtSigtermAreRecordedBeforeTheExit) {
  db().resetTables();
  CollectorDaemon daemon({.core_number = 2, .thread_number = 2});
  writeFile(daemon.logPath(), "stale line from an earlier run\n");
  insertChannel("edge");
  const std::string release = daemon.file("release");
  const int plugin = insertPlugin(
      daemon.writePlugin("blocking.sh", "/bin/touch " + daemon.file("started-") + "$1\ni=0\nwhile [ ! -f " +
                                            release + " ] && [ $i -lt 1200 ]; do /bin/sleep 0.05; i=$((i+1)); done\n"
                                            "/bin/echo \"released $1\"\nexit 1\n"),
      "5 minutes");
  std::vector<int> ids;
  for (int n = 0; n < 4; ++n) ids.push_back(insertCollector({.plugin_id = plugin, .name = "b", .parameter = std::to_string(n)}));
  daemon.start();
  ASSERT_TRUE(waitFor([&] {
    return fileExists(daemon.file("started-3")) && fileExists(daemon.file("started-2")) &&
           fileExists(daemon.file("started-1")) && fileExists(daemon.file("started-0"));
  }, kDaemonWait)) << daemon.log();
  // The status file is rewritten every half second: both records must show
  // their two busy workers in one and the same report.
  ASSERT_TRUE(waitFor([&] {
    const std::string status = daemon.status();
    return contains(coreBlock(status, 0), "Thread active: 2 / 2") &&
           contains(coreBlock(status, 1), "Thread active: 2 / 2");
  }, kDaemonWait)) << daemon.status();

  daemon.terminate();
  ASSERT_TRUE(daemon.waitForLog("#INFO#stop kova... SIGTERM")) << daemon.log();
  EXPECT_TRUE(daemon.running()) << "the daemon ended while its plugins were running";
  writeFile(release, "");
  EXPECT_EQ(daemon.waitExit(), 0) << daemon.log() << daemon.console();

  for (size_t n = 0; n < ids.size(); ++n) {
    EXPECT_EQ(collectorField(ids[n], "collector_state"), "1");
    EXPECT_EQ(collectorField(ids[n], "collector_message"), "released " + std::to_string(n) + "\n");
  }
  const std::string log = daemon.log();
  EXPECT_TRUE(contains(splitLines(log)[0], "#INFO#KOVA start....")) << "stale log kept: " << log;
  EXPECT_EQ(daemon.countInLog("#INFO#PREPARATION REQUEST "), 2) << log;
  EXPECT_EQ(daemon.countInLog("#INFO#START CORE SUCCESS:2"), 1) << log;
  EXPECT_EQ(daemon.countInLog("#DEBUG#"), 0) << "trace lines without -D";
}

// Peak resident memory of a process in kB (VmHWM), -1 when unreadable.
long peakResidentKb(int pid) {
  for (const std::string& line : splitLines(readFile("/proc/" + std::to_string(pid) + "/status")))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

bool processAlive(const std::string& pid) {
  const std::string stat = readFile("/proc/" + pid + "/stat");
  const size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

std::string statCount(int collector_id) {
  return db().scalar("SELECT count(*) FROM flows_stats WHERE stat_collector_id = " +
                     std::to_string(collector_id));
}

// Plugins that hang, ignore SIGTERM, leave a descendant holding their
// output, or print without end: each is recorded once, leaves no process,
// and the other collectors go on running. Programs outside the plugin
// directory never start. Then SIGTERM while one hangs.
TEST(PluginLimits, HungNoisyLeakyAndStrayPluginsAreBoundedAndTheStopStillEnds) {
  db().resetTables();
  TempDir plugins;  // the daemon's own directory holds its log: plugins go apart
  CollectorDaemon daemon({.core_number = 1, .thread_number = 3,
                          .extra_kova = "plugin_timeout=3\nplugin_output_max=100000\nplugin_dir=/nonexistent:" +
                                        plugins.path() + "/\n"});
  insertChannel("edge");
  const std::string outside = daemon.writePlugin("outside.sh", "echo '{}'\n");
  symlink(outside.c_str(), plugins.file("link.sh").c_str());
  const int stray = insertCollector({.plugin_id = insertPlugin(outside, "5 minutes"), .name = "stray"});
  const int linked = insertCollector({.plugin_id = insertPlugin(plugins.file("link.sh"), "5 minutes"), .name = "link"});
  const std::string pids = daemon.file("pids");
  auto plugin = [&](const std::string& name, const std::string& body, const std::string& every) {
    writeScript(plugins.file(name), body);
    return insertPlugin(plugins.file(name), every);
  };
  const int hung = insertCollector({.plugin_id = plugin("hang.sh", "/bin/sleep 600\n", "5 minutes"), .name = "hang"});
  const int deaf = insertCollector({.plugin_id = plugin("deaf.sh",
      "trap '' TERM\necho $$ >>" + pids + "\nwhile :; do /bin/sleep 1; done\n", "5 minutes"), .name = "deaf"});
  const int leaky = insertCollector({.plugin_id = plugin("leaky.sh",
      "/bin/sleep 600 &\necho $! >>" + pids + "\necho '{\"ok\": 1}'\n", "5 minutes"), .name = "leaky"});
  const int flood = insertCollector({.plugin_id = plugin("flood.sh",
      "/usr/bin/yes | /usr/bin/head -c 200000000\n", "5 minutes"), .name = "flood"});
  const int steady = insertCollector({.plugin_id = plugin("steady.sh", "echo '{\"n\": 1}'\n", "1 second"), .name = "steady"});
  const std::string trigger = daemon.file("hang-now"), hanging = daemon.file("hanging");
  const int late = insertCollector({.plugin_id = plugin("late.sh",
      "[ -f " + trigger + " ] || { echo '{}'; exit 0; }\n/bin/touch " + hanging + "\n/bin/sleep 600\n",
      "1 second"), .name = "late"});
  ASSERT_TRUE(daemon.startAndWaitRunning());

  const std::string timed_out = "DAEMON: plugin timed out after 3 s";
  ASSERT_TRUE(waitFor([&] {
    return collectorField(hung, "collector_message") == timed_out &&
           collectorField(deaf, "collector_message") == timed_out &&
           !collectorField(flood, "collector_state").empty() &&
           collectorField(leaky, "collector_state") == "0";
  }, kDaemonWait)) << daemon.log();
  for (int id : {hung, deaf, flood}) {
    EXPECT_EQ(collectorField(id, "collector_state"), "3");
    EXPECT_EQ(statCount(id), "0");
  }
  EXPECT_EQ(collectorField(flood, "collector_message"), "DAEMON: plugin output exceeds 100000 bytes");
  EXPECT_LT(peakResidentKb(daemon.pid()), 100000) << "the output was kept";
  EXPECT_EQ(statCount(leaky), "1");
  for (const auto& [id, path] : {std::pair{stray, outside}, std::pair{linked, plugins.file("link.sh")}}) {
    EXPECT_EQ(collectorField(id, "collector_state"), "2");
    EXPECT_EQ(collectorField(id, "collector_message"), "DAEMON: plugin not allowed: " + path);
  }
  EXPECT_EQ(daemon.countInLog("Excute failed retry"), 0) << "a bounded run was tried again";
  for (const std::string& pid : splitLines(readFile(pids)))
    EXPECT_TRUE(waitFor([&] { return !processAlive(pid); })) << "plugin process " << pid << " left";
  // The one worker left free kept the 1-second collectors going.
  EXPECT_TRUE(waitFor([&] { return std::stoi(statCount(steady)) >= 5; }, kDaemonWait));

  writeFile(trigger, "");
  ASSERT_TRUE(waitFor([&] { return fileExists(hanging); }, kDaemonWait));
  daemon.terminate();
  ASSERT_TRUE(daemon.waitForLog("#INFO#stop kova... SIGTERM"));
  // Time limit + a few seconds: far less than the plugin's own 600 s.
  EXPECT_TRUE(waitFor([&] { return !daemon.running(); }, std::chrono::seconds(30))) << daemon.log();
  EXPECT_EQ(daemon.waitExit(), 0) << daemon.log() << daemon.console();
  EXPECT_EQ(collectorField(late, "collector_message"), timed_out);
}

// Connections made and refused again by the database itself: a database
// that takes no connection, with every session of it ended, is for the
// daemon exactly a server that went away.
void setAcceptingConnections(bool accepting) {
  const std::string conninfo = "host=" + db().host() + " port=" + std::to_string(db().port()) +
                               " dbname=postgres user=" + db().user() + " password=" + db().password();
  PGconn* conn = PQconnectdb(conninfo.c_str());
  ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
  const std::string sql = "ALTER DATABASE " + db().dbname() + " ALLOW_CONNECTIONS " +
                          (accepting ? "true" : "false") +
                          "; SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                          db().dbname() + "'";
  PGresult* result = PQexec(conn, sql.c_str());
  EXPECT_EQ(PQresultStatus(result), PGRES_TUPLES_OK) << PQerrorMessage(conn);
  PQclear(result);
  PQfinish(conn);
}

// 1-second collectors through an outage: every run reaches flows_stats
// once, with the time it ran; a result the server refuses is not kept.
TEST(DatabaseOutage, ResultsOfTheOutageAreWrittenOnceWithTheirOwnTime) {
  db().resetTables();
  CollectorDaemon daemon({.core_number = 2, .thread_number = 2});
  insertChannel("edge");
  const std::string body = "f=" + daemon.file("runs-") + "$1\necho x >>$f\n"
                           "echo \"{\\\"run\\\": $(/usr/bin/wc -l <$f), \\\"at\\\": $(/bin/date +%s.%N)}\"\n";
  const int counting = insertPlugin(daemon.writePlugin("count.sh", body), "1 second");
  std::vector<int> ids;
  for (int n = 0; n < 3; ++n)
    ids.push_back(insertCollector({.plugin_id = counting, .name = "c", .parameter = std::to_string(n)}));
  const int text = insertCollector(
      {.plugin_id = insertPlugin(daemon.writePlugin("text.sh", "echo 'not json'\n"), "1 second"), .name = "text"});
  ASSERT_TRUE(daemon.startAndWaitRunning());
  ASSERT_TRUE(daemon.waitForLog("#Update service state failed: " + std::to_string(text), 2)) << daemon.log();
  EXPECT_EQ(daemon.countInLog("results are kept"), 0) << "a refused result taken for an outage";

  setAcceptingConnections(false);
  ASSERT_TRUE(daemon.waitForLog("#ERR#database connection lost: results are kept")) << daemon.log();
  std::this_thread::sleep_for(std::chrono::seconds(4));  // runs go on meanwhile
  setAcceptingConnections(true);
  ASSERT_TRUE(daemon.waitForLog("#INFO#database answers again: ")) << daemon.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();

  for (int n = 0; n < 3; ++n) {
    const std::string id = std::to_string(ids[n]);
    const int runs = static_cast<int>(splitLines(readFile(daemon.file("runs-" + std::to_string(n)))).size());
    // Rows of distinct runs 1..runs, each stamped within 2 s of its run.
    EXPECT_EQ(db().scalar("SELECT count(DISTINCT stat_data->>'run') || '/' || count(*) || '/' || max((stat_data->>'run')::int)"
                          " FROM flows_stats WHERE stat_collector_id = " + id),
              std::to_string(runs) + "/" + std::to_string(runs) + "/" + std::to_string(runs));
    EXPECT_EQ(db().scalar("SELECT count(*) FROM flows_stats WHERE stat_collector_id = " + id +
                          " AND abs(extract(epoch FROM stat_time) - (stat_data->>'at')::float8) > 2"), "0");
    EXPECT_GT(runs, 6);
  }
}

// Start-up paths that end before or without scheduling anything.
class CollectorStartUp : public DatabaseTest {};

// Starts the daemon with one text of its configuration replaced; its exit code.
int runWithConfigChange(CollectorDaemon& daemon, const std::string& from, const std::string& to) {
  std::string config = daemon.configText();
  if (config.find(from) == std::string::npos) return -2;
  daemon.writeConfig(config.replace(config.find(from), from.size(), to));
  daemon.start();
  return daemon.waitExit();
}

TEST_F(CollectorStartUp, EmptyChannelTableExitsZeroWithoutPurging) {
  CollectorDaemon daemon;
  const int plugin = insertPlugin("/bin/true", "1 minute", true);
  insertCollector({.plugin_id = plugin, .name = "kept"});
  daemon.start();
  EXPECT_EQ(daemon.waitExit(), 0) << daemon.log() << daemon.console();
  const std::string log = daemon.log();
  EXPECT_TRUE(contains(log, "#ERR#There are not channel configure")) << log;
  EXPECT_FALSE(contains(log, "DELETE OLD SERVICE")) << log;
  EXPECT_EQ(db().scalar("SELECT count(*) FROM flows_collector"), "1");
}

// Each bad value stops the start with status 1 and one line naming the
// file, the section, the key and the value.
TEST_F(CollectorStartUp, UnusableNumericValueExitsOneNamingIt) {
  insertChannel("edge");
  const struct {
    std::string section, key, good, bad;
  } cases[] = {{"[KOVA]", "core_number", "1", "0"},
               {"[KOVA]", "thread_number", "2", "two"},
               {"[KOVA]", "load_mod", "1", ""},
               {"[KOVA]", "interval_check_update", "300", "99999999999"},
               {"[POSTGRESQL]", "connection_number", "2", "-3"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + "=" + c.bad);
    CollectorDaemon daemon;
    EXPECT_EQ(runWithConfigChange(daemon, c.key + "=" + c.good, c.key + "=" + c.bad), 1) << daemon.log();
    bool named = false;
    for (const std::string& line : splitLines(daemon.log()))
      named |= contains(line, "#ERR#") && contains(line, daemon.configPath()) &&
               contains(line, c.section) && contains(line, c.key) && contains(line, "'" + c.bad + "'");
    EXPECT_TRUE(named) << daemon.log();
  }
}

TEST_F(CollectorStartUp, RefusedDatabaseConnectionExitsOneWithTheReason) {
  CollectorDaemon daemon;
  const std::string port = "PGSQL_port=" + std::to_string(db().port());
  EXPECT_EQ(runWithConfigChange(daemon, port, "PGSQL_port=1"), 1) << daemon.log() << daemon.console();
  EXPECT_TRUE(contains(daemon.log(), "port 1 failed")) << daemon.log();
}

TEST_F(CollectorStartUp, UnopenableDaemonLogGoesToTheOriginalOutput) {
  CollectorDaemon daemon;
  const std::string missing = daemon.file("no-such-dir/daemon.log");
  // No channel: ends right after connecting.
  EXPECT_EQ(runWithConfigChange(daemon, daemon.logPath(), missing), 0) << daemon.console();
  const std::string console = daemon.console();
  EXPECT_TRUE(contains(console, "ERROR can't open file " + missing)) << console;
  EXPECT_TRUE(contains(console, "#ERR#There are not channel configure")) << console;
}

TEST_F(CollectorStartUp, SigtermDuringTheStartUpPauseStopsCleanly) {
  insertChannel("edge");
  const int plugin = insertPlugin("/bin/true", "1 minute");
  insertCollector({.plugin_id = plugin, .name = "never"});
  CollectorDaemon daemon;
  daemon.start();
  ASSERT_TRUE(daemon.waitForLog("#INFO#DELETE OLD SERVICE ")) << daemon.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log() << daemon.console();
  const std::string log = daemon.log();
  EXPECT_LT(log.find("#INFO#stop kova... SIGTERM"), log.find("#INFO#KOVA is stopping....")) << log;
}

}  // namespace
}  // namespace kova_test
