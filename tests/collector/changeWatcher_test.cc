// End-to-end tests of the change watcher of kovaFlowCollector: collectors
// added, changed and deleted in the database while the daemon runs.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "daemonFixture.h"

namespace kova_test {
namespace {

std::string idText(int id) { return std::to_string(id); }

// Refuses the deletion of one collector row once: the sequence is not
// rolled back with the refused statement, so the second attempt passes.
// The binary's database is made anew at each start, trigger and all.
void refuseDeletionOnce(int collector_id) {
  db().exec(
      "CREATE SEQUENCE kova_test_refusals;"
      "CREATE FUNCTION kova_test_refuse_once() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
      " IF nextval('kova_test_refusals') = 1"
      " THEN RAISE EXCEPTION 'deletion refused once by the test'; END IF; RETURN OLD; END $$;"
      "CREATE TRIGGER kova_test_refuse_once BEFORE DELETE ON flows_collector FOR EACH ROW"
      " WHEN (OLD.collector_id = " +
      idText(collector_id) + ") EXECUTE FUNCTION kova_test_refuse_once();");
}

// Reads the status file every 2 ms until finish(): after the first report
// every read must be one whole report, from its "CORE NUMBER: " line to its
// last, "RESULTS WAITING: "; finish() gives the first read that was not.
struct StatusReader {
  std::string path;
  std::atomic<bool> stop{false};
  std::atomic<int> whole{0};
  std::string first_broken{};  // written by the reading thread until the join
  std::thread thread{[this] {
    for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      const std::string text = readFile(path);
      const size_t total = text.rfind("\nRESULTS WAITING: ");  // must be the last line, ended
      if (text.starts_with("CORE NUMBER: ") && total != std::string::npos &&
          text.find('\n', total + 1) == text.size() - 1)
        ++whole;
      else if ((whole > 0 || !text.empty()) && first_broken.empty())
        first_broken = text.empty() ? "(empty file)" : text;
    }
  }};
  std::string finish() {
    stop = true;
    if (thread.joinable()) thread.join();
    return first_broken;
  }
  ~StatusReader() { finish(); }
};

// One daemon for the suite, its watcher polling every second, debug on so
// that the watcher's cycles can be counted in the log.
struct ChangeWatcherState {
  CollectorDaemon daemon{{.interval_check_update = 1, .debug = true}};
  int echo_fast = 0, echo_slow = 0, reborn = 0, refused = 0, edge = 0;
  std::vector<int> changed;  // by the writers of the last test
  // Reads through every test while a slow collector keeps one worker busy
  // half of the time, so that the report keeps changing length.
  std::unique_ptr<StatusReader> status;
  bool started = false;

  ChangeWatcherState() {
    edge = insertChannel("edge");
    const std::string echo = daemon.writePlugin("echo.sh", "/bin/echo \"$@\"\nexit 1\n");
    echo_fast = insertPlugin(echo, "1 second");
    echo_slow = insertPlugin(echo, "4 seconds");
    reborn = insertCollector({.plugin_id = echo_slow, .name = "reborn", .parameter = "first life"});
    refused = insertCollector({.plugin_id = echo_fast, .name = "refused", .parameter = "refused"});
    refuseDeletionOnce(refused);
    for (int w = 0; w < 2; ++w)
      changed.push_back(insertCollector(
          {.plugin_id = echo_fast, .name = "changed", .parameter = "gen-0", .channel_id = edge}));
    const int slow = insertPlugin(
        daemon.writePlugin("slow.sh", "/bin/sleep 0.5\n/bin/echo slow\nexit 1\n"), "1 second");
    insertCollector({.plugin_id = slow, .name = "slow"});
    started = daemon.startAndWaitRunning();
    status.reset(new StatusReader{.path = daemon.statusPath()});
  }
};

class ChangeWatcher : public SharedRun<ChangeWatcherState> {
 protected:
  static CollectorDaemon& daemon() { return run_->daemon; }
};

// Marked right after a run, a collector whose interval spans several
// watcher cycles is seen marked at each of them before it falls due; none
// of this may outlive its row and drop a later collector with the same id.
TEST_F(ChangeWatcher, CollectorIdReusedAfterADeletionRunsNormally) {
  const int id = run_->reborn;
  ASSERT_TRUE(waitForField(id, "collector_message", "first life\n")) << daemon().log();
  const std::string last_run = collectorField(id, "collector_last_execution");
  ASSERT_TRUE(
      waitUntil([&] { return collectorField(id, "collector_last_execution") != last_run; }));
  db().exec("UPDATE flows_collector SET collector_delete = TRUE WHERE collector_id = " +
            idText(id));
  ASSERT_TRUE(waitUntil([&] { return !collectorExists(id); })) << daemon().log();
  insertCollector({.plugin_id = run_->echo_slow,
                   .name = "reborn",
                   .parameter = "second life",
                   .collector_id = id});
  db().exec(pendingSql("ADD", id));
  EXPECT_TRUE(waitForField(id, "collector_message", "second life\n")) << daemon().log();
  const int cycles = daemon().countInLog("#DEBUG#th_loaddel#Debout");  // three more watcher cycles
  ASSERT_TRUE(daemon().waitForLog("#DEBUG#th_loaddel#Debout", cycles + 3));
  EXPECT_TRUE(collectorExists(id));
}

TEST_F(ChangeWatcher, RefusedRowDeletionIsRetriedAtALaterCycle) {
  const int id = run_->refused;
  ASSERT_TRUE(waitForField(id, "collector_message", "refused\n")) << daemon().log();
  db().exec("UPDATE flows_collector SET collector_delete = TRUE WHERE collector_id = " +
            idText(id));
  EXPECT_TRUE(daemon().waitForLog("deletion refused once by the test")) << daemon().log();
  EXPECT_GE(daemon().countInLog("#ERR#EXEC deleteservice failed: "), 1) << daemon().log();
  EXPECT_TRUE(waitUntil([&] { return !collectorExists(id); })) << daemon().log();
}

TEST_F(ChangeWatcher, StatusFileIsAlwaysAWholeReport) {
  ASSERT_TRUE(waitUntil([] { return run_->status->whole >= 20; }));
  EXPECT_EQ(run_->status->finish(), "");
}

// From here on every channel row read costs 20 ms, so that each of the
// watcher's collector queries (they join every pending row to its
// collector's channel) spans several commits of the writers below. Only
// the suite's last test may call it.
void slowChannelReads() {
  db().exec(
      "CREATE FUNCTION kova_test_slow_read() RETURNS boolean LANGUAGE plpgsql AS"
      " $$ BEGIN PERFORM pg_sleep(0.02); RETURN TRUE; END $$;"
      "CREATE POLICY kova_test_slow ON flows_channel USING (kova_test_slow_read());"
      "ALTER TABLE flows_channel ENABLE ROW LEVEL SECURITY;"
      "ALTER TABLE flows_channel FORCE ROW LEVEL SECURITY;");
}

// Writers that keep adding and changing collectors while the watcher polls
// every second: whatever moment a row is committed at, it is applied once.
// Last of the suite: it stops the daemon.
TEST_F(ChangeWatcher, ContinuousAddAndUpdateRowsAreAllApplied) {
  CollectorDaemon& daemon = run_->daemon;
  const std::string runs_file = daemon.file("runs");
  const std::string body = "/bin/echo \"$1\" >>" + runs_file + "\n/bin/echo \"$1\"\nexit 1\n";
  const int once = insertPlugin(daemon.writePlugin("once.sh", body), "1 hour");
  const int kWriters = 2, kAdds = 30, kUpdates = 40;
  const std::vector<int>& changed = run_->changed;
  for (int id : changed)
    ASSERT_TRUE(waitForField(id, "collector_message", "gen-0\n")) << daemon.log();
  slowChannelReads();

  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w, once, edge = run_->edge] {
      for (int i = 0; i < kAdds; ++i) {
        db().exec(
            "WITH c AS (INSERT INTO flows_collector (collector_name, collector_plugin_id,"
            " collector_channel_id, collector_parameter) VALUES ('added', " +
            idText(once) + ", " + idText(edge) + ", 'add-" + idText(w) + "-" + idText(i) +
            "') RETURNING collector_id)"
            " INSERT INTO flows_updel_collector (updel_collector_type, updel_collector_id)"
            " SELECT 'ADD', collector_id FROM c");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    writers.emplace_back([id = changed[w]] {
      for (int i = 1; i <= kUpdates; ++i) {
        db().exec("BEGIN; UPDATE flows_collector SET collector_parameter = 'gen-" + idText(i) +
                  "' WHERE collector_id = " + idText(id) + ";" + pendingSql("UPDATE", id) +
                  "COMMIT;");
        std::this_thread::sleep_for(std::chrono::milliseconds(75));
      }
    });
  }
  for (std::thread& writer : writers) writer.join();

  EXPECT_TRUE(
      waitForScalar("SELECT count(*) FROM flows_collector WHERE collector_name = 'added'"
                    " AND collector_message = collector_parameter || E'\\n'",
                    idText(kWriters * kAdds)))
      << daemon.log();
  for (int id : changed)
    EXPECT_TRUE(waitForField(id, "collector_message", "gen-" + idText(kUpdates) + "\n"))
        << collectorField(id, "collector_message");
  EXPECT_TRUE(waitForScalar("SELECT count(*) FROM flows_updel_collector", "0"));
  EXPECT_EQ(daemon.stop(), 0) << daemon.log() << daemon.console();

  // Each addition was loaded once: a row read twice would run twice.
  std::map<std::string, int> runs;
  for (const std::string& line : splitLines(readFile(runs_file))) ++runs[line];
  EXPECT_EQ(runs.size(), static_cast<size_t>(kWriters * kAdds));
  for (const auto& [parameter, count] : runs) EXPECT_EQ(count, 1) << parameter;
}

}  // namespace
}  // namespace kova_test
