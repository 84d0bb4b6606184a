// Whole runs of kovaFlowCapture against the test database, starting and
// stopping real nfcapd and sfcapd processes on free UDP ports.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "flowFixtures.h"
#include "pgHarness.h"
#include "testUtil.h"

namespace kova_test {
namespace {

namespace fs = std::filesystem;

class KovaFlowCapture : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    for (const std::string& d : {data_, pids_, dir_.file("bin")}) fs::create_directory(d);
  }

  // `node`: [KOVA] lines naming a node and its channels.
  void writeConfig(const std::string& path = "", const std::string& node = "") {
    writeFile(path.empty() ? conf_ : path,
              "[LOG]\nlog_daemon_capture=" + log_ + "\n" + db().postgresqlSection() + "[KOVA]\n" +
                  node + "datadir=" + data_ + "\npiddir=" + pids_ + "\n[BINARY]\nps=" + ps_ +
                  "\nnetflows=" + netflows_ + "\nsflows=" + sflows_ + "\n");
  }

  void addChannel(const std::string& name, const std::string& protocol, int port,
                  bool deleted = false) {
    db().exec(
        "INSERT INTO flows_channel (channel_name, channel_protocol, channel_port, "
        "channel_delete) VALUES ('" +
        name + "', '" + protocol + "', '" + std::to_string(port) + "', " +
        (deleted ? "true" : "false") + ")");
  }

  // The exit code; the log and what went to standard output are read after.
  int run(const std::string& conf = "") {
    return runToEnd({KOVA_CAPTURE_BIN, "-f", conf.empty() ? conf_ : conf}, out_);
  }

  std::string pidFile(int port) const { return pids_ + "/p" + std::to_string(port) + ".pid"; }
  pid_t pidOf(int port) const { return std::atoi(readFile(pidFile(port)).c_str()); }
  std::string channels() {
    return db().scalar(
        "SELECT string_agg(channel_name, ',' ORDER BY channel_name) FROM flows_channel");
  }

  TempDir dir_;
  ProcessesUnder tools_{dir_.path()};  // destroyed before dir_
  const std::string data_ = dir_.file("data"), pids_ = dir_.file("pids"),
                    log_ = dir_.file("capture.log"), conf_ = dir_.file("flows.conf"),
                    out_ = dir_.file("out");
  std::string ps_ = "/usr/bin/ps", netflows_ = "/usr/bin/nfcapd", sflows_ = "/usr/bin/sfcapd";
};

// Two nodes share the database, each with the channels named for it.
TEST_F(KovaFlowCapture, EachNodeStartsItsMissingChannelsOnceAndStopsOnlyItsOwn) {
  const std::string conf2 = dir_.file("n2.conf");
  const std::string prom = dir_.file("kova.prom");  // for node_exporter, written by each run
  writeConfig(conf_,
              "node_name=n1\nnode_channels=edge*, sf1,short\nmetrics_textfile=" + prom + "\n");
  writeConfig(conf2, "node_name=n2\nnode_channels=n2-a\n");
  int nf = 0;  // a free port 10p + 5 whose p is free too
  do nf = freeUdpPort();
  while (nf % 10 != 5 || udpBacklog(nf / 10) >= 0);
  const int shortPort = nf / 10, sf = freeUdpPort(), p2 = freeUdpPort();
  addChannel("edge1", "netflow", nf);
  addChannel("sf1", "sflow", sf);
  addChannel("n2-a", "netflow", p2);
  // Without its configuration the run fails before it has a log.
  EXPECT_EQ(run(dir_.file("none.conf")), 1);
  EXPECT_EQ(readFile(out_), "error can't open file: " + dir_.file("none.conf") + "\n");
  EXPECT_FALSE(fs::exists(log_));
  // -t: the settings, and nothing started or written.
  EXPECT_EQ(runToEnd({KOVA_CAPTURE_BIN, "-t", "-f", conf_}, out_), 0);
  EXPECT_TRUE(contains(readFile(out_), "PGSQL_pwd=***\n") &&
              contains(readFile(out_), "\nKOVA.datadir=" + data_ + "\n") && !fs::exists(log_) &&
              !fs::exists(pidFile(nf)))
      << readFile(out_);
  writeFile(log_, "STALE LINE\n");
  // A leftover pid file naming a live process makes nfcapd give up after
  // detaching.
  writeFile(pidFile(nf), std::to_string(getpid()) + "\n");
  ASSERT_EQ(run(), 0) << readFile(log_) << readFile(out_);
  EXPECT_FALSE(contains(readFile(log_), "STALE LINE"));
  for (const auto& [tool, name, port] :
       {std::tuple{netflows_, "edge1", nf}, {sflows_, "sf1", sf}}) {
    ASSERT_GT(pidOf(port), 1) << readFile(log_);
    std::string arguments = readFile("/proc/" + std::to_string(pidOf(port)) + "/cmdline");
    std::replace(arguments.begin(), arguments.end(), '\0', '\n');  // one a line
    EXPECT_EQ(arguments, tool + "\n-D\n-p\n" + std::to_string(port) + "\n-B\n200000\n-S\n1\n-P\n" +
                             pidFile(port) + "\n-z\n-I\n" + name + "\n-w\n" + data_ + "/" + name +
                             "\n");
  }
  EXPECT_FALSE(fs::exists(pidFile(p2)));
  ASSERT_EQ(run(conf2), 0);
  ASSERT_TRUE(waitFor([&] { return pidOf(p2) > 1; })) << readFile(log_);
  // A tool on port 10p+5 must not pass for the tool of a channel on port p.
  addChannel("short", "netflow", shortPort);
  const pid_t nfPid = pidOf(nf), sfPid = pidOf(sf), otherPid = pidOf(p2);
  EXPECT_EQ(run(), 0);
  const std::string second = readFile(log_);
  EXPECT_EQ(second.find("start channel:"), second.rfind("start channel:")) << second;
  EXPECT_EQ(pidOf(nf), nfPid);
  EXPECT_FALSE(processEnded(nfPid) || processEnded(sfPid) || processEnded(pidOf(shortPort)));
  const std::string textfile = readFile(prom);
  for (const char* line :
       {"{state=\"running\"} 2\n", "{state=\"started\"} 1\n", "{state=\"failed\"} 0\n",
        "{state=\"stopped\"} 0\n", "\nkova_capture_last_run_timestamp_seconds 1",
        "\nkova_capture_run_seconds "})
    EXPECT_TRUE(contains(textfile, line)) << textfile;
  EXPECT_EQ(system(("promtool check metrics <" + prom).c_str()), 0);
  EXPECT_FALSE(fs::exists(prom + ".tmp"));
  // The bundled capture_status plugin reads the tools as they were started.
  const std::string nfPort = std::to_string(nf);
  const auto running = runPlugin("capture_status", {"-c", "edge1", "-p", nfPort, "-r", pids_});
  const auto other = runPlugin("capture_status", {"-c", "sf1", "-p", nfPort, "-r", pids_});
  ASSERT_EQ(running.state, 0) << running.output;
  EXPECT_EQ(jsonValue(running.output, "pid"), std::to_string(nfPid));
  EXPECT_EQ(jsonValue(running.output, "state"), "running");
  EXPECT_EQ(other.state, 2);
  EXPECT_TRUE(contains(other.output, "captures for another channel")) << other.output;

  db().exec(
      "UPDATE flows_channel SET channel_delete = true "
      "WHERE channel_name IN ('edge1', 'n2-a')");
  ASSERT_EQ(run(conf2), 0);
  EXPECT_TRUE(waitFor([&] { return processEnded(otherPid); }));
  EXPECT_EQ(channels(), "edge1,sf1,short");
  EXPECT_FALSE(processEnded(nfPid));
  EXPECT_EQ(run(), 0);
  EXPECT_TRUE(waitFor([&] { return processEnded(nfPid); }));
  EXPECT_EQ(channels(), "sf1,short");
  EXPECT_FALSE(processEnded(sfPid));
}

// A port another program holds: an "ERR" line in the tool's own words at
// every pass, and the channel never taken for running.
TEST_F(KovaFlowCapture, ToolThatCannotTakeItsPortIsReportedInItsOwnWordsAtEveryPass) {
  writeConfig();
  const int port = freeUdpPort();
  ChildProcess holder({"/usr/bin/python3", "-c",
                       "import socket, time; s = socket.socket(2, 2); s.bind(('', " +
                           std::to_string(port) + ")); time.sleep(600)"});
  ASSERT_TRUE(waitFor([&] { return udpBacklog(port) >= 0; }));
  addChannel("held", "netflow", port);
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(run(), 0);
    const std::string log = readFile(log_);  // the tool's stderr is the ERR line's end
    EXPECT_TRUE(contains(log, "#ERR#channel held port " + std::to_string(port) + ": " + netflows_ +
                                  " did not start (") &&
                contains(log, "; Could not open the requested socket: Address already in use\n") &&
                !contains(log, "channel OK: held"))
        << log;
  }
}

// What real tools never do, with fakes: nfdump 1.6 cannot be installed
// here, a real tool that hangs cannot be made to, and real ps never lists
// such ids.
TEST_F(KovaFlowCapture, LegacyToolHungStartAndListingIdsThatAreNotPlainPids) {
  sflows_ = dir_.file("bin/sfcapd");
  const std::string hung_file = dir_.file("hung"), args_file = dir_.file("args"),
                    fds_file = dir_.file("fds");
  writeScript(sflows_, "[ \"$1\" = -V ] && echo 'sfcapd: Version: 1.7.1' && exit 0\necho $$ >" +
                           hung_file + "\nexec /bin/sleep 600\n");
  netflows_ = dir_.file("bin/nfcapd");
  writeScript(netflows_,
              "[ \"$1\" = -V ] && echo 'nfcapd: Version: 1.6.23' && exit 0\necho \"$@\" >" +
                  args_file + "\n/usr/bin/ls -l /proc/$$/fd/ >" + fds_file + "\n");
  // kovaFlowCapture, the fake ps's parent, leads its own process group: a
  // signal to id 0, to minus its id or to itself would end it.
  ChildProcess victim({"/bin/sleep", "300"});
  const std::string key = " /usr/bin/nfcapd -D -p 20005 -B 200000\n";
  ps_ = dir_.file("bin/ps");
  writeScript(ps_, "/usr/bin/printf '%s' \"0" + key + "-$PPID" + key + "+$PPID" + key + "abc" +
                       key + std::to_string(victim.pid()) + key + "\"\n");
  writeConfig();
  const int port = freeUdpPort();
  addChannel("gone", "netflow", 20005, true);
  addChannel("stuck", "sflow", freeUdpPort());
  addChannel("old1", "netflow", port);
  EXPECT_EQ(run(), 0) << readFile(log_) << readFile(out_);
  const std::string log = readFile(log_);
  EXPECT_TRUE(contains(log, "#ERR#command timed out after 30 s and was killed: " + sflows_)) << log;
  const pid_t hung = std::atoi(readFile(hung_file).c_str());
  EXPECT_TRUE(waitFor([&] { return processEnded(hung); }));
  // The pass went on with the next channel, in the form of 1.6.
  EXPECT_EQ(readFile(args_file), "-w -D -p " + std::to_string(port) + " -B 200000 -S 1 -P " +
                                     pidFile(port) + " -z -I old1 -l " + data_ + "/old1\n");
  EXPECT_TRUE(contains(log, "#ERR#channel old1 port " + std::to_string(port)));  // not listening
  const std::string fds = readFile(fds_file);
  EXPECT_FALSE(contains(fds, "socket:") || contains(fds, log_)) << fds;
  EXPECT_TRUE(contains(log, "ERR#Token skipped, not a process id: '-"));
  EXPECT_TRUE(contains(log, "SEND END SIGNAL TO " + std::to_string(victim.pid()) + "\n"));
  EXPECT_EQ(victim.wait(), SIGTERM);
  EXPECT_EQ(channels(), "old1,stuck");
}

}  // namespace
}  // namespace kova_test
