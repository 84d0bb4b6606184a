// End-to-end tests of kovaFlowCollector: start-up, plugin runs and their
// recording, the status file, and the stop, against the real database.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "daemonFixture.h"
#include "linkProxy.h"

namespace kova_test {
namespace {

// "state:message" of a collector's last run; "" before its first.
const std::string kOutcome = "collector_state || ':' || collector_message";

std::string statsOf(int collector_id, const std::string& expression) {
  return db().scalar("SELECT " + expression +
                     " FROM flows_stats WHERE stat_collector_id = " + std::to_string(collector_id));
}
std::string statCount(int collector_id) { return statsOf(collector_id, "count(*)"); }

// One daemon for the suite: two core records of two workers and one
// collector per behaviour, each with a 5-minute interval so that it runs once.
struct ScheduledRunState {
  CollectorDaemon daemon{{.core_number = 2, .thread_number = 2}};
  int json = 0, failing = 0, silent = 0, with_channel = 0, without_channel = 0;
  int past = 0, future = 0, purged = 0;
  std::vector<int> refused_plugins;
  bool started = false;

  ScheduledRunState() {
    // A name with a blank and a quote stays one argument.
    const int edge = insertChannel("Paris 'edge");
    insertChannel("core");
    auto plugin = [&](const std::string& name, const std::string& body) {
      return insertPlugin(daemon.writePlugin(name, body), "5 minutes");
    };
    const int args = plugin("args.sh", "printf '%s|' \"$@\"\nexit 1\n");
    json = insertCollector(
        {.plugin_id = plugin("json.sh", "/bin/echo '{\"bytes\": 42}'\n"), .name = "json"});
    failing = insertCollector(
        {.plugin_id = plugin("fail.sh", "/bin/echo 'disk full'\nexit 2\n"), .name = "failing"});
    silent = insertCollector({.plugin_id = plugin("silent.sh", "exit 0\n"), .name = "silent"});
    // Only the first occurrence of a placeholder is filled in.
    const std::string twice = "-c $CHANNEL -i $INTERVAL $CHANNEL";
    with_channel =
        insertCollector({.plugin_id = args, .name = "ch", .parameter = twice, .channel_id = edge});
    without_channel =
        insertCollector({.plugin_id = args, .name = "no ch", .parameter = "-c $CHANNEL"});
    auto due = [&](const std::string& n, const std::string& last) {
      return insertCollector(
          {.plugin_id = args, .name = n, .parameter = n, .last_execution = last});
    };
    past = due("past", "now() - interval '2 minutes'");
    future = due("future", "now() + interval '1 day'");
    // Intervals the millisecond field cannot hold: refused row by row.
    for (const char* interval : {"0 seconds", "0.5 seconds", "30 days"}) {
      refused_plugins.push_back(insertPlugin("/bin/true", interval));
      insertCollector({.plugin_id = refused_plugins.back(), .name = interval});
    }
    const std::string purged_script =
        daemon.writePlugin("purged.sh", "/bin/touch " + daemon.file("purged-ran"));
    purged = insertCollector(
        {.plugin_id = insertPlugin(purged_script, "5 minutes", true), .name = "purged"});
    started = daemon.startAndWaitRunning();
  }
};

class ScheduledRun : public SharedRun<ScheduledRunState> {
 protected:
  static CollectorDaemon& daemon() { return run_->daemon; }
};

TEST_F(ScheduledRun, LoadPurgesDeletedPluginsAndSkipsUnusableIntervals) {
  EXPECT_EQ(daemon().countInLog("#INFO#DELETE OLD SERVICE "), 1) << daemon().log();
  EXPECT_FALSE(collectorExists(run_->purged));
  // The purged plugin is the only one marked deleted.
  EXPECT_EQ(db().scalar("SELECT count(*) FROM flows_collector_plugins WHERE plugin_delete"), "0");
  for (int plugin : run_->refused_plugins)
    EXPECT_EQ(daemon().countInLog("#ERR#Failed to initial load service: " + std::to_string(plugin)),
              1);
}

TEST_F(ScheduledRun, EachRunIsRecordedWithItsStateAndText) {
  // The interval text exactly as the database renders it.
  const std::string interval = db().scalar("SELECT EXTRACT(EPOCH FROM interval '5 minutes')");
  const std::string silent = "DAEMON: the plugin does not return anything on the stdout";
  const std::pair<int, std::string> cases[] = {
      {run_->json, "0:OK"},
      {run_->failing, "2:disk full\n"},
      {run_->silent, "3:" + silent},
      {run_->with_channel, "1:-c|Paris 'edge|-i|" + interval + "|$CHANNEL|"},
      {run_->past, "1:past|"}};
  for (const auto& [id, outcome] : cases)
    EXPECT_TRUE(waitForField(id, kOutcome, outcome)) << collectorField(id, kOutcome);
  EXPECT_EQ(statsOf(run_->json, "string_agg(stat_data->>'bytes', ',')"), "42");
  EXPECT_EQ(statCount(run_->failing), "0");
  const std::string retried = "#ERR#Excute failed retrysilent " + std::to_string(run_->silent);
  EXPECT_EQ(daemon().countInLog(retried + " " + silent), 3) << daemon().log();
  // Every channel, in whatever order the database lists them.
  ASSERT_TRUE(waitForField(run_->without_channel, "collector_state", "1"));
  const std::string message = collectorField(run_->without_channel, "collector_message");
  EXPECT_TRUE(message == "-c|core:Paris 'edge|" || message == "-c|Paris 'edge:core|") << message;
  // Due at its last execution, which is past: it ran at once, and now.
  EXPECT_EQ(collectorField(run_->past, "now() - collector_last_execution < '1 minute'"), "t");
  // Due tomorrow: still not run once every other collector has; nor has
  // the collector of the purged plugin.
  EXPECT_EQ(collectorField(run_->future, "collector_state"), "");
  EXPECT_FALSE(std::filesystem::exists(daemon().file("purged-ran")));
}

// Two records of two workers each: four plugins that wait for each other
// and for the test can only all start when the four workers run them side
// by side. SIGTERM then arrives while all four run.
TEST(CollectorStop, PluginsRunningAtSigtermAreRecordedBeforeTheExit) {
  db().resetTables();
  CollectorDaemon daemon({.core_number = 2, .thread_number = 2});
  writeFile(daemon.logPath(), "stale line from an earlier run\n");
  insertChannel("edge");
  const std::string release = daemon.file("release"), started = daemon.file("started");
  const std::string body = "/bin/echo $1 >>" + started + "\ni=0\nwhile [ ! -f " + release +
                           " ] && [ $i -lt 1200 ]; do /bin/sleep 0.05; i=$((i+1)); done\n"
                           "/bin/echo \"released $1\"\nexit 1\n";
  const int plugin = insertPlugin(daemon.writePlugin("blocking.sh", body), "5 minutes");
  for (int n = 0; n < 4; ++n)
    insertCollector({.plugin_id = plugin, .name = "b", .parameter = std::to_string(n)});
  daemon.start();
  ASSERT_TRUE(waitUntil([&] { return splitLines(readFile(started)).size() == 4; })) << daemon.log();
  // The status file is rewritten every half second: both records must show
  // their two busy workers, no idle one left, in one and the same report
  // (each record has one such line: two of them are both records).
  const std::string busy = "Thread active: 2 / 2\t\tstatus: OVERLOAD\n";
  ASSERT_TRUE(waitUntil([&] {
    const std::string report = daemon.status();
    return report.find(busy) != report.rfind(busy);
  })) << daemon.status();

  daemon.sendSignal(SIGTERM);
  ASSERT_TRUE(daemon.waitForLog("#INFO#stop kova... SIGTERM")) << daemon.log();
  EXPECT_TRUE(daemon.running()) << "the daemon ended while its plugins were running";
  writeFile(release, "");
  EXPECT_EQ(daemon.waitExit(), 0) << daemon.log() << daemon.console();

  EXPECT_EQ(db().scalar("SELECT string_agg(" + kOutcome +
                        ", '' ORDER BY collector_parameter) FROM flows_collector"),
            "1:released 0\n1:released 1\n1:released 2\n1:released 3\n");
  const std::string log = daemon.log();
  EXPECT_TRUE(contains(splitLines(log)[0], "#INFO#KOVA start....")) << "stale log kept: " << log;
  EXPECT_EQ(log.find("#INFO#KOVA is stopping...."), log.rfind("#INFO#")) << log;
  EXPECT_EQ(daemon.countInLog("\tfin thread: "), 4) << log;
  EXPECT_EQ(daemon.countInLog("#DEBUG#"), 0) << "trace lines without -D";
}

// Peak resident memory of a process in kB (VmHWM), -1 when unreadable.
long peakResidentKb(int pid) {
  for (const std::string& line : splitLines(readFile("/proc/" + std::to_string(pid) + "/status")))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A plugin that hangs and one that prints without end are each recorded
// once and the other collectors go on running (how the runner ends every
// kind of stuck plugin is the runner's own test). Programs outside the
// plugin directory never start. Then SIGTERM while one hangs.
TEST(PluginLimits, HungNoisyLeakyAndStrayPluginsAreBoundedAndTheStopStillEnds) {
  db().resetTables();
  TempDir plugins;  // the daemon's own directory holds its log: plugins go apart
  const std::string limits = "plugin_timeout=3\nplugin_output_max=100000\nplugin_dir=/nonexistent:";
  CollectorDaemon daemon({.thread_number = 3, .extra_kova = limits + plugins.path() + "/\n"});
  insertChannel("edge");
  const std::string escaped = daemon.file("escaped");  // made by any run from outside
  const std::string outside =
      daemon.writePlugin("outside.sh", "/bin/touch " + escaped + "\necho '{}'\n");
  symlink(outside.c_str(), plugins.file("link.sh").c_str());
  const int stray = insertCollectorOf(outside, "5 minutes", "stray");
  const int linked = insertCollectorOf(plugins.file("link.sh"), "5 minutes", "link");
  // name.sh in the plugin directory, run by a collector called name.
  auto add = [&](const std::string& name, const std::string& body, const std::string& every) {
    writeScript(plugins.file(name + ".sh"), body);
    return insertCollectorOf(plugins.file(name + ".sh"), every, name);
  };
  const int hung = add("hang", "/bin/sleep 600\n", "5 minutes");
  const int flood = add("flood", "/usr/bin/yes | /usr/bin/head -c 200000000\n", "5 minutes");
  const int steady = add("steady", "echo '{\"n\": 1}'\n", "1 second");
  const std::string trigger = daemon.file("hang-now"), hanging = daemon.file("hanging");
  const int late = add("late",
                       "[ -f " + trigger + " ] || { echo '{}'; exit 0; }\n/bin/touch " + hanging +
                           "\n/bin/sleep 600\n",
                       "1 second");
  // A link flipped between a program inside and one outside while it runs
  // every second: what starts is always the program that was checked.
  const std::string flip = plugins.file("flip.sh"), inside = plugins.file("steady.sh");
  symlink(inside.c_str(), flip.c_str());
  insertCollectorOf(flip, "1 second", "flip");
  std::jthread flipper([&](std::stop_token stop) {
    for (int n = 0; !stop.stop_requested(); ++n, usleep(50))
      symlink((n % 2 ? outside : inside).c_str(), (flip + "~").c_str()),
          rename((flip + "~").c_str(), flip.c_str());
  });
  ASSERT_TRUE(daemon.startAndWaitRunning());

  const std::string timed_out = "DAEMON: plugin timed out after 3 s";
  ASSERT_TRUE(waitForField(hung, kOutcome, "3:" + timed_out)) << collectorField(hung, kOutcome);
  const std::string over = "3:DAEMON: plugin output exceeds 100000 bytes";
  EXPECT_TRUE(waitForField(flood, kOutcome, over)) << collectorField(flood, kOutcome);
  for (int id : {hung, flood}) EXPECT_EQ(statCount(id), "0");
  EXPECT_LT(peakResidentKb(daemon.pid()), 100000) << "the output was kept";
  for (const auto& [id, path] :
       {std::pair{stray, outside}, std::pair{linked, plugins.file("link.sh")}})
    EXPECT_EQ(collectorField(id, kOutcome), "2:DAEMON: plugin not allowed: " + path);
  EXPECT_EQ(daemon.countInLog("Excute failed retry"), 0) << "a bounded run was tried again";
  // The one worker left free kept the 1-second collectors going.
  EXPECT_TRUE(waitUntil([&] { return std::stoi(statCount(steady)) >= 5; }));
  // Ten more runs of each 1-second collector: a descriptor kept per run
  // would show (a run in flight holds a few).
  const size_t descriptors = openDescriptors(std::to_string(daemon.pid())).size();
  const int runs = std::stoi(statCount(steady));
  EXPECT_TRUE(waitUntil([&] { return std::stoi(statCount(steady)) >= runs + 10; }));
  EXPECT_LE(openDescriptors(std::to_string(daemon.pid())).size(), descriptors + 6);
  flipper.request_stop();
  flipper.join();
  EXPECT_FALSE(std::filesystem::exists(escaped)) << "a program outside plugin_dir ran";
  // No descriptor left for a pipe: the runs that cannot start are failures,
  // not the state the collector had before. (AddressSanitizer's runtime
  // itself ends the daemon, without a report, once no descriptor is free.)
#ifndef __SANITIZE_ADDRESS__
  const std::string limit = "/usr/bin/prlimit --pid " + std::to_string(daemon.pid()) + " --nofile=";
  ASSERT_EQ(system((limit + "3:").c_str()), 0);
  EXPECT_TRUE(waitForField(steady, "collector_state", "3")) << daemon.log();
  EXPECT_TRUE(contains(collectorField(steady, "collector_message"), "Error open pipe steady"));
  ASSERT_EQ(system((limit + "1024:").c_str()), 0);
#endif

  writeFile(trigger, "");
  ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(hanging); }));
  daemon.sendSignal(SIGTERM);
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
  db().exec("ALTER DATABASE " + db().dbname() + " ALLOW_CONNECTIONS " +
                (accepting ? "true" : "false") +
                "; SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                db().dbname() + "'",
            "postgres");
}

// 1-second collectors through the one path of results: replies to
// committed batches lost with their link, then an outage. Every run reaches
// flows_stats once, in run order, with the time it ran; a row the server
// refuses costs only itself.
TEST(ResultPath, LostCommitRepliesAndAnOutageLoseNothingAndDoubleNothing) {
  db().resetTables();
  kova_bench::LinkProxy proxy(db().host(), db().port(), std::chrono::microseconds(0));
  CollectorDaemon daemon({.core_number = 2, .thread_number = 2});
  std::string config = daemon.configText();
  config.replace(config.find("PGSQL_host="), config.find("PGSQL_db=") - config.find("PGSQL_host="),
                 "PGSQL_host=127.0.0.1\nPGSQL_port=" + std::to_string(proxy.port()) + "\n");
  daemon.writeConfig(config);
  insertChannel("edge");
  // Parameter "bad": a successful run whose output is not JSON, run with
  // the others and so written in the same batches.
  const std::string body =
      "[ $1 = bad ] && { echo 'not json'; exit 0; }\nf=" + daemon.file("runs-") +
      "$1\necho x >>$f\n"
      "echo \"{\\\"run\\\": $(/usr/bin/wc -l <$f), \\\"at\\\": $(/bin/date +%s.%N)}\"\n";
  const int counting = insertPlugin(daemon.writePlugin("count.sh", body), "1 second");
  std::vector<int> ids;
  for (int n = 0; n < 3; ++n)
    ids.push_back(
        insertCollector({.plugin_id = counting, .name = "c", .parameter = std::to_string(n)}));
  const int text = insertCollector({.plugin_id = counting, .name = "text", .parameter = "bad"});
  ASSERT_TRUE(daemon.startAndWaitRunning());
  ASSERT_TRUE(daemon.waitForLog("#Update service state failed: " + std::to_string(text), 2))
      << daemon.log();
  EXPECT_EQ(daemon.countInLog("results are kept"), 0) << "a refused row taken for an outage";
  for (int cut = 1; cut <= 5; ++cut) {
    proxy.cutAfterNextCommit("InsertData");
    ASSERT_TRUE(waitUntil([&] { return proxy.cuts() == cut; }));
    ASSERT_TRUE(daemon.waitForLog("#INFO#database answers again: ", cut)) << daemon.log();
  }

  setAcceptingConnections(false);
  // Open again even when an assertion ends the test half-way: the tests
  // after it use the same database.
  struct Reopen {
    ~Reopen() { setAcceptingConnections(true); }
  } reopen;
  const auto runsOf = [&](int n) {
    return splitLines(readFile(daemon.file("runs-" + std::to_string(n)))).size();
  };
  const size_t at_loss = runsOf(0);
  ASSERT_TRUE(waitUntil([&] { return runsOf(0) >= at_loss + 3; }));  // runs go on meanwhile
  setAcceptingConnections(true);
  ASSERT_TRUE(daemon.waitForLog("#INFO#database answers again: ", 6)) << daemon.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();

  for (int n = 0; n < 3; ++n) {
    const std::string id = std::to_string(ids[n]), runs = std::to_string(runsOf(n));
    // Runs 1..runs, each once, in stat_id order, stamped within 2 s of its run; the
    // collector's last execution is its last run's.
    EXPECT_EQ(
        db().scalar(
            "SELECT count(*) || '/' || max(r) || '/' || count(*) FILTER (WHERE r = n)"
            " || '/' || count(*) FILTER (WHERE abs(extract(epoch FROM stat_time) - at) > 2)"
            " || '/' || (abs(extract(epoch FROM max(collector_last_execution)) - max(at)) < 2)"
            " FROM (SELECT (stat_data->>'run')::int AS r, row_number() OVER (ORDER BY stat_id) AS n,"
            " stat_time, (stat_data->>'at')::float8 AS at FROM flows_stats WHERE stat_collector_id = " +
            id + ") s JOIN flows_collector ON collector_id = " + id),
        runs + "/" + runs + "/" + runs + "/0/true");
  }
  EXPECT_EQ(collectorField(text, "collector_message"), "OK");
  EXPECT_EQ(statCount(text), "0");
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

// Without a channel the daemon ends at once, purging nothing; a daemon log
// it cannot open sends its lines to the original output instead. With a
// channel, SIGTERM during the start-up pause ends it cleanly.
TEST_F(CollectorStartUp, EmptyChannelTableExitsAtOnceSigtermDuringThePauseStopsCleanly) {
  CollectorDaemon daemon;
  insertCollector({.plugin_id = insertPlugin("/bin/true", "1 minute", true), .name = "kept"});
  const std::string missing = daemon.file("no-such-dir/daemon.log");
  EXPECT_EQ(runWithConfigChange(daemon, daemon.logPath(), missing), 0) << daemon.console();
  const std::string console = daemon.console();
  EXPECT_TRUE(contains(console, "ERROR can't open file " + missing)) << console;
  EXPECT_TRUE(contains(console, "#ERR#There are not channel configure")) << console;
  EXPECT_FALSE(contains(console, "DELETE OLD SERVICE")) << console;
  EXPECT_EQ(db().scalar("SELECT count(*) FROM flows_collector"), "1");

  insertChannel("edge");
  insertCollectorOf("/bin/true", "1 minute", "never");
  daemon.writeConfig(daemon.configText());
  daemon.start();
  ASSERT_TRUE(daemon.waitForLog("#INFO#DELETE OLD SERVICE ")) << daemon.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log() << daemon.console();
  const std::string log = daemon.log();
  EXPECT_LT(log.find("#INFO#stop kova... SIGTERM"), log.find("#INFO#KOVA is stopping....")) << log;
}

// -t on the daemon's configuration: its exit code; what it printed is in check.txt.
int check(const CollectorDaemon& daemon) {
  return exitCode(
      ChildProcess({"/bin/sh", "-c", "exec \"$@\" >\"$0\" 2>&1", daemon.file("check.txt"),
                    KOVA_COLLECTOR_BIN, "-t", "-f", daemon.configPath()})
          .wait());
}

// Each bad value stops the start with status 1 and one line naming the
// file, the section, the key, the value and what is wrong with it; a
// refused connection names its reason. -t says the same, and of a good
// file prints every setting but the password, writing no log.
TEST_F(CollectorStartUp, UnusableValueOrRefusedConnectionExitsOneNamingItAsTheCheckDoes) {
  insertChannel("edge");
  CollectorDaemon good;
  EXPECT_EQ(check(good), 0);
  const std::string out = readFile(good.file("check.txt"));
  EXPECT_TRUE(contains(out, "LOG.log_daemon_file=" + good.logPath() + "\nKOVA.core_number=1\n") &&
              contains(out, "KOVA.plugin_timeout=60\n") && contains(out, "PGSQL_pwd=***\n") &&
              !contains(out, db().password()) && !std::filesystem::exists(good.logPath()))
      << out;
  const std::string port = std::to_string(db().port());
  const struct {
    std::string section, key, good, bad, why;
  } cases[] = {{"KOVA", "core_number", "1", "0", "must be at least 1"},
               {"KOVA", "thread_number", "2", "two", "is not a number"},
               {"KOVA", "load_mod", "1", "", "is missing"},
               {"KOVA", "interval_check_update", "300", "99999999999", "is out of range"},
               {"KOVA", "metrics_listen", "", "localhost:9753",
                "is not an address:port (for example 127.0.0.1:9753 or [::1]:9753)"},
               {"POSTGRESQL", "connection_number", "2", "-3", "must be at least 1"},
               {"", "PGSQL_port", port, "1", "port 1 failed"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + "=" + c.bad);
    CollectorDaemon daemon;
    EXPECT_EQ(runWithConfigChange(daemon, c.key + "=" + c.good, c.key + "=" + c.bad), 1)
        << daemon.log();
    const std::string line = "#ERR#configuration " + daemon.configPath() + ": [" + c.section +
                             "] " + c.key + "='" + c.bad + "' " + c.why + "\n";
    EXPECT_TRUE(contains(daemon.log(), c.section.empty() ? c.why : line)) << daemon.log();
    EXPECT_EQ(check(daemon), 1);
    EXPECT_TRUE(contains(readFile(daemon.file("check.txt")), c.section.empty() ? c.why : line));
  }
}

}  // namespace
}  // namespace kova_test
