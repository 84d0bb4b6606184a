// The whole chain on loopback: kovaFlowCapture starts a real nfcapd,
// softflowd sends it a known number of NetFlow v9 flows, and the real
// kovaFlowCollector runs the bundled plugins, whose JSON lands in
// flows_stats.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "daemonFixture.h"
#include "flowFixtures.h"
#include "pgHarness.h"
#include "testUtil.h"

namespace {

using kova_test::contains;
using kova_test::readFile;
using kova_test::waitFor;
namespace fs = std::filesystem;

constexpr std::chrono::seconds kWait{60};

class EndToEnd : public kova_test::DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    for (const std::string& d : {data_, run_, state_}) fs::create_directory(d);
    port_ = kova_test::freeUdpPort();
    channel_ = db().scalar(
        "INSERT INTO flows_channel (channel_name, channel_protocol, channel_port) VALUES "
        "('e2e', 'netflow', '" + std::to_string(port_) + "') RETURNING channel_id");
    summary_ = addCollector("flow_summary", "-d \"" + data_ + "\" -s \"" + state_ +
                                                "\" -c $CHANNEL -i $INTERVAL");
    status_ = addCollector("capture_status",
                           "-c $CHANNEL -p " + std::to_string(port_) + " -r \"" + run_ + "\"");
    daemon_.writeConfig(config());
  }

  // Both programs read the one file, as on an installed system.
  std::string config() const {
    return "[LOG]\nlog_info_file=" + daemon_.statusPath() + "\nlog_daemon_file=" +
           daemon_.logPath() + "\nlog_daemon_capture=" + dir_.file("capture.log") +
           "\n\n[KOVA]\ncore_number=1\nthread_number=2\nload_mod=1\ninterval_check_update=300\n"
           "datadir=" + data_ + "\npiddir=" + run_ + "\n\n" + db().postgresqlSection() +
           "\n[BINARY]\nps=/usr/bin/ps\nnetflows=/usr/bin/nfcapd\nsflows=/usr/bin/sfcapd\n";
  }

  std::string addCollector(const std::string& plugin, const std::string& parameter) {
    const int plugin_id = kova_test::insertPlugin(
        std::string(KOVA_SOURCE_DIR) + "/plugins/" + plugin, "2 seconds");
    return std::to_string(kova_test::insertCollector(
        {plugin_id, plugin, parameter, std::stoi(channel_), "", 0}));
  }

  void runCapture() {
    kova_test::ChildProcess capture({"/bin/sh", "-c", "exec \"$@\" >/dev/null 2>&1", "sh",
                                     KOVA_CAPTURE_BIN, "-f", daemon_.configPath()});
    ASSERT_EQ(kova_test::exitCode(capture.wait(kWait)), 0) << readFile(dir_.file("capture.log"));
  }

  // Runs a command to its end; its standard output and error.
  std::string outputOf(const std::vector<std::string>& argv) {
    const std::string out = dir_.file("command.out");
    std::vector<std::string> shell = {"/bin/sh", "-c", "exec \"$@\" >\"$0\" 2>&1", out};
    shell.insert(shell.end(), argv.begin(), argv.end());
    kova_test::ChildProcess command(shell);
    command.wait(kWait);
    return readFile(out);
  }

  // softflowd reads the capture file, then waits on its control socket;
  // the next command after the end of the file makes it send every flow it
  // holds and end. Its own output is only written out when it ends.
  void exportFlows(int udp, int tcp) {
    const std::string pcap = dir_.file("flows.pcap"), log = dir_.file("softflowd.log"),
                      control = dir_.file("softflowd.ctl"), total = std::to_string(udp + tcp);
    kova_test::writePcap(pcap, kova_test::distinctFlows(udp, tcp), time(nullptr));
    kova_test::ChildProcess softflowd(
        {"/bin/sh", "-c", "exec \"$@\" >\"$0\" 2>&1", log, "/usr/sbin/softflowd", "-r", pcap,
         "-n", "127.0.0.1:" + std::to_string(port_), "-v", "9", "-d", "-c", control, "-p",
         dir_.file("softflowd.pid")});
    ASSERT_TRUE(waitFor([&] {
      return contains(outputOf({"/usr/sbin/softflowctl", "-c", control, "statistics"}),
                      "Packets processed: " + total + "\n");
    }, kWait)) << "softflowd did not read " << pcap;
    if (softflowd.running()) outputOf({"/usr/sbin/softflowctl", "-c", control, "shutdown"});
    ASSERT_EQ(kova_test::exitCode(softflowd.wait(kWait)), 0) << readFile(log);
    ASSERT_TRUE(contains(readFile(log), "Flows exported: " + total + " (" + total + " records)"))
        << readFile(log);
  }

  // An aggregate over the summary collector's rows of flows_stats.
  std::string summaryRows(const std::string& what) {
    return db().scalar("SELECT " + what + " FROM flows_stats WHERE stat_collector_id = " +
                       summary_);
  }
  std::string statusCollector(const std::string& column) {
    return kova_test::collectorField(std::stoi(status_), column);
  }

  kova_test::TempDir dir_;
  kova_test::ProcessesUnder processes_{dir_.path()};  // destroyed before dir_
  const std::string data_ = dir_.file("data"), run_ = dir_.file("run"), state_ = dir_.file("state");
  kova_test::CollectorDaemon daemon_;
  int port_ = 0;
  std::string channel_, summary_, status_;
};

TEST_F(EndToEnd, FlowsSentToTheCaptureReachFlowsStatsOnce) {
  runCapture();
  const pid_t nfcapd = std::atoi(readFile(run_ + "/p" + std::to_string(port_) + ".pid").c_str());
  ASSERT_GT(nfcapd, 0) << readFile(dir_.file("capture.log"));
  daemon_.startAndWaitRunning();
  // Both collectors have run: the capture is up, nothing is counted yet.
  ASSERT_TRUE(waitFor([&] { return summaryRows("count(*)") != "0"; }, kWait)) << daemon_.log();
  ASSERT_TRUE(waitFor([&] { return statusCollector("collector_state") == "0"; }, kWait))
      << statusCollector("collector_message");
  EXPECT_EQ(summaryRows("sum((stat_data->>'flows')::int)"), "0");

  exportFlows(23, 4);
  // nfcapd writes its flows out when it rotates its file, every five
  // minutes, or when it stops; the test stops it the product's way, by
  // marking the channel deleted for the capture supervisor. It must first
  // have read every datagram, or they would be lost with it.
  ASSERT_TRUE(waitFor([&] { return kova_test::udpBytesQueued(port_) == 0; }, kWait));
  db().exec("UPDATE flows_channel SET channel_delete = true");
  runCapture();
  ASSERT_TRUE(waitFor([&] { return kova_test::processEnded(nfcapd); }, kWait));

  ASSERT_TRUE(waitFor([&] { return summaryRows("max((stat_data->>'flows')::int)") == "27"; },
                      kWait))
      << daemon_.log();
  // Later runs add nothing: every flow is counted exactly once.
  const int runs = std::stoi(summaryRows("count(*)"));
  ASSERT_TRUE(waitFor([&] { return std::stoi(summaryRows("count(*)")) >= runs + 2; }, kWait));
  EXPECT_EQ(summaryRows("sum((stat_data->>'flows')::int)"), "27");

  // With the capture gone the status collector fails, saying why.
  ASSERT_TRUE(waitFor([&] { return statusCollector("collector_state") == "2"; }, kWait));
  EXPECT_TRUE(contains(statusCollector("collector_message"),
                       "CRITICAL: capture of channel e2e (port " + std::to_string(port_) +
                           ") is down"));
  EXPECT_EQ(daemon_.stop(), 0) << daemon_.log();
}

}  // namespace
