// The whole chain on loopback: kovaFlowCapture starts a real nfcapd,
// nfreplay sends it a known number of NetFlow v9 flows, and the real
// kovaFlowCollector runs the bundled plugins, whose JSON lands in
// flows_stats. Both programs run as an unprivileged user, as their units
// run them, with only their own directories writable; on the way the
// collector's log is rotated under it.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "daemonFixture.h"
#include "flowFixtures.h"
#include "pgHarness.h"
#include "testUtil.h"

namespace kova_test {
namespace {

namespace fs = std::filesystem;

class EndToEnd : public DatabaseTest {};

TEST_F(EndToEnd, FlowsSentToTheCaptureReachFlowsStatsOnceThroughLogRotations) {
  // The tests run as root in CI, where both programs are started as
  // nobody:nogroup with setpriv, the way systemd starts them as kova; run
  // by anyone else, they run as that user.
  const bool root = geteuid() == 0;
  const uid_t uid = root ? getpwnam("nobody")->pw_uid : geteuid();
  const gid_t gid = root ? getgrnam("nogroup")->gr_gid : getegid();
  std::vector<std::string> setpriv;
  if (root) setpriv = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--no-new-privs"};
  TempDir dir;
  ProcessesUnder processes{dir.path()};  // destroyed before dir
  const std::string data = dir.file("data"), run = dir.file("run"), state = dir.file("state"),
                    plugins = dir.file("plugins");
  CollectorDaemon daemon{
      {.extra_kova = "datadir=" + data + "\npiddir=" + run + "\n", .setpriv_options = setpriv}};
  const auto handOver = [&](const std::string& path) {
    ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << path;
  };
  for (const std::string& d : {data, run, state, plugins}) fs::create_directory(d);
  // What the units make writable for kova; nothing else is the account's.
  for (const std::string& d : {data, run, state}) handOver(d);
  handOver(fs::path(daemon.configPath()).parent_path());
  for (const char* plugin : {"flow_summary", "lib"})
    fs::copy(std::string(KOVA_SOURCE_DIR) + "/plugins/" + plugin, plugins + "/" + plugin,
             fs::copy_options::recursive);
  const std::string port = std::to_string(freeUdpPort());
  const int summary = insertCollector(
      {.plugin_id = insertPlugin(plugins + "/flow_summary", "2 seconds"),
       .name = "summary",
       .parameter = "-d \"" + data + "\" -s \"" + state + "\" -c $CHANNEL -i $INTERVAL",
       .channel_id = insertChannel("e2e", port)});
  // Both programs read the one file, as on an installed system: root's,
  // readable by the account's group. The options come last and win:
  // without them the programs would knock at port 1, where nothing listens.
  const std::string db_port = std::to_string(db().port());
  std::string config = daemon.configText() + "PGSQL_options=port=" + db_port +
                       " connect_timeout=10\n\n[BINARY]\nps=/usr/bin/ps\nnetflows=/usr/bin/nfcapd\n"
                       "sflows=/usr/bin/sfcapd\n";
  config.replace(config.find("\nPGSQL_port=" + db_port + "\n"), db_port.size() + 12,
                 "\nPGSQL_port=1");
  config.insert(config.find('\n') + 1, "log_daemon_capture=" + run + "/capture.log\n");
  daemon.writeConfig(config);
  ASSERT_EQ(chown(daemon.configPath().c_str(), geteuid(), gid), 0);
  ASSERT_EQ(chmod(daemon.configPath().c_str(), 0640), 0);
  const auto summaryRows = [&](const std::string& what) {  // over the summary's rows
    return db().scalar("SELECT " + what +
                       " FROM flows_stats WHERE stat_collector_id = " + std::to_string(summary));
  };
  const auto runCapture = [&] {
    std::vector<std::string> argv = {"/usr/bin/setpriv"};
    argv.insert(argv.end(), setpriv.begin(), setpriv.end());
    argv.insert(argv.end(), {"--", KOVA_CAPTURE_BIN, "-f", daemon.configPath()});
    ASSERT_EQ(runToEnd(argv, dir.file("capture.out"), kDaemonWait), 0)
        << readFile(run + "/capture.log");
  };

  runCapture();
  const pid_t nfcapd = std::atoi(readFile(run + "/p" + port + ".pid").c_str());
  ASSERT_GT(nfcapd, 0) << readFile(run + "/capture.log");
  ASSERT_TRUE(daemon.startAndWaitRunning());
  // The main pool, the core record's two connections and the result
  // writer's (opened with the first result), named by default.
  EXPECT_TRUE(
      waitForScalar("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                    "'kovaFlowCollector' AND datname = current_database()",
                    "4"));
  // The summary has run while the capture is up, before there were flows.
  ASSERT_TRUE(waitUntil([&] { return summaryRows("count(*)") != "0"; })) << daemon.log();

  const std::string daemonLog = daemon.logPath();
  for (const std::string round : {"1", "2"}) {
    // What logrotate does: move the file away, create an empty one for the
    // account (here with a line of its own, which must stay), signal.
    fs::rename(daemonLog, daemonLog + "." + round);
    writeFile(daemonLog, "kept " + round + "\n");
    handOver(daemonLog);
    daemon.sendSignal(SIGHUP);
    ASSERT_TRUE(daemon.waitForLog("#INFO#log file reopened")) << readFile(daemonLog + "." + round);
    EXPECT_EQ(splitLines(daemon.log()).front(), "kept " + round);
    EXPECT_EQ(daemon.countInLog("log file reopened"), 1);
  }

  // nfreplay sends the twelve flows of a checked-in flow file to 127.0.0.1
  // as NetFlow v9.
  const std::string flows = dataFile("bigger.nfcapd");
  ASSERT_EQ(
      runToEnd({"/usr/bin/nfreplay", "-v", "9", "-p", port, "-r", flows}, dir.file("replay.out")),
      0);
  // nfcapd writes its flows out when it rotates its file, every five
  // minutes, or when it stops; the test stops it the product's way, by
  // marking the channel deleted for the capture supervisor. It must first
  // have read every datagram, or they would be lost with it.
  ASSERT_TRUE(waitUntil([&] { return udpBacklog(std::stoi(port)) == 0; }));
  db().exec("UPDATE flows_channel SET channel_delete = true");
  runCapture();
  ASSERT_TRUE(waitUntil([&] { return processEnded(nfcapd); }));

  ASSERT_TRUE(waitUntil([&] { return summaryRows("max((stat_data->>'flows')::int)") == "12"; }))
      << daemon.log();
  // Later runs add nothing: every flow is counted exactly once.
  const int runs = std::stoi(summaryRows("count(*)"));
  ASSERT_TRUE(waitUntil([&] { return std::stoi(summaryRows("count(*)")) >= runs + 2; }));
  EXPECT_EQ(summaryRows("sum((stat_data->>'flows')::int)"), "12");
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

}  // namespace
}  // namespace kova_test
