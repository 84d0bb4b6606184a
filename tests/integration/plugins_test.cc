// The bundled plugins, run as the collector runs them: flow_summary over
// real nfcapd files, capture_status against a real nfcapd.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "flowFixtures.h"
#include "pgHarness.h"
#include "testUtil.h"

namespace {

using kova_test::contains;
using kova_test::jsonValue;
using kova_test::runPlugin;
using kova_test::writeFile;
namespace fs = std::filesystem;

class FlowSummary : public kova_test::DatabaseTest {
 protected:
  // Real flow files, from nfpcapd reading made-up captures: one of 5 UDP
  // and 2 TCP flows, copied wherever a test needs finished files, and one
  // of 8 UDP and 4 TCP flows.
  static void SetUpTestSuite() {
    samples_ = std::make_unique<kova_test::TempDir>();
    sampleFile_ = makeSample("small", 5, 2);
    biggerFile_ = makeSample("bigger", 8, 4);
  }
  static void TearDownTestSuite() { samples_.reset(); }

  static std::string makeSample(const std::string& name, int udp, int tcp) {
    const std::string directory = samples_->file(name), pcap = directory + ".pcap";
    fs::create_directory(directory);
    kova_test::writePcap(pcap, kova_test::distinctFlows(udp, tcp), time(nullptr));
    const std::string command =
        "/usr/bin/nfpcapd -r " + pcap + " -w " + directory + " -I sample -z >/dev/null 2>&1";
    EXPECT_EQ(system(command.c_str()), 0);
    for (const auto& entry : fs::directory_iterator(directory))
      if (entry.path().filename().string().rfind("nfcapd.2", 0) == 0) return entry.path();
    ADD_FAILURE() << "nfpcapd wrote no flow file in " << directory;
    return "";
  }

  // A finished file of a channel, in nfcapd's year/month/day layout, `age` seconds old.
  std::string addFile(const std::string& channel, const std::string& stamp, int age) {
    const std::string directory = data_ + "/" + channel + "/2026/01/01";
    fs::create_directories(directory);
    const std::string path = directory + "/nfcapd." + stamp;
    fs::copy_file(sampleFile_, path);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age));
    return path;
  }

  kova_test::PluginRun summary(const std::string& channel, const std::string& interval = "60") {
    return runPlugin("flow_summary",
                     "-d " + data_ + " -c '" + channel + "' -i " + interval + " -s " + state_);
  }
  std::string flows(const std::string& channel) {
    return jsonValue(summary(channel).output, "flows");
  }

  void SetUp() override {
    DatabaseTest::SetUp();
    fs::create_directories(data_ + "/edge");
    fs::create_directory(state_);
  }

  kova_test::TempDir dir_;
  const std::string data_ = dir_.file("data"), state_ = dir_.file("state");
  static inline std::unique_ptr<kova_test::TempDir> samples_;
  static inline std::string sampleFile_, biggerFile_;
};

TEST_F(FlowSummary, EveryFinishedFileIsCountedByExactlyOneRun) {
  addFile("edge", "202601010000", 30);
  writeFile(data_ + "/edge/nfcapd.current.4711", "being written");
  const auto first = summary("edge", "60.000000");
  ASSERT_EQ(first.state, 0) << first.output;
  EXPECT_EQ(jsonValue(first.output, "flows"), "7");
  EXPECT_EQ(jsonValue(first.output, "files"), "1");
  EXPECT_EQ(jsonValue(first.output, "interval"), "60");
  EXPECT_EQ(jsonValue(first.output, "protocols,udp,flows"), "5");
  EXPECT_EQ(jsonValue(first.output, "protocols,tcp,flows"), "2");
  EXPECT_EQ(flows("edge"), "0");
  // Finished long before it is seen (a late rotation): still counted once.
  addFile("edge", "202601010005", 0);
  EXPECT_EQ(flows("edge"), "7");
  EXPECT_EQ(flows("edge"), "0");
}

TEST_F(FlowSummary, FileThatGrowsAfterARestartCountsOnlyWhatItGained) {
  // A capture restarted within the time slot of its last file adds to it.
  const std::string path = addFile("edge", "202601010000", 20);
  EXPECT_EQ(flows("edge"), "7");
  fs::copy_file(biggerFile_, path, fs::copy_options::overwrite_existing);
  EXPECT_EQ(flows("edge"), "5");
  // Smaller than before: another file under the same name, counted whole.
  fs::copy_file(sampleFile_, path, fs::copy_options::overwrite_existing);
  EXPECT_EQ(flows("edge"), "7");
}

TEST_F(FlowSummary, ChannelListSumsThemAllAndEscapesNamesInTheJson) {
  const std::string odd = "back\\slash and blank", list = "edge:" + odd;
  addFile("edge", "202601010000", 10);
  addFile(odd, "202601010000", 10);
  const auto run = summary(list);
  EXPECT_EQ(jsonValue(run.output, "flows"), "14") << run.output;
  EXPECT_EQ(jsonValue(run.output, "channel"), list);
  // Captures rotate together: a run may see the file of one channel before
  // the other's, whose file is older; it is counted by the next run.
  addFile(odd, "202601010005", 5);
  EXPECT_EQ(flows(list), "7");
  addFile("edge", "202601010005", 8);
  EXPECT_EQ(flows(list), "7");
}

TEST_F(FlowSummary, UnreadableFileFailsTheRunAndIsReportedAgainLater) {
  addFile("edge", "202601010000", 20);
  const std::string bad = data_ + "/edge/2026/01/01/nfcapd.202601010005";
  writeFile(bad, "not a flow file");
  const auto failed = summary("edge");
  EXPECT_EQ(failed.state, 3);
  EXPECT_TRUE(contains(failed.output, "UNKNOWN: nfdump cannot read " + bad)) << failed.output;
  fs::remove(bad);
  EXPECT_EQ(flows("edge"), "7");
}

TEST_F(FlowSummary, UnusableArgumentsAndMissingChannelsAreReported) {
  const struct {
    std::string parameter;
    int state;
    std::string message;
  } cases[] = {
      {"-d " + data_ + " -c edge:nowhere -i 60", 2,
       "CRITICAL: channel nowhere has no capture directory " + data_ + "/nowhere"},
      {"-d " + data_ + " -c edge -i abc", 3, "UNKNOWN: interval is not a number of seconds"},
      {"-c edge -i 60", 3, "UNKNOWN: no data directory"},
      {"-d " + data_ + " -c edge -i 60 -s " + dir_.file("none"), 3,
       "state directory " + dir_.file("none") + " does not exist"},
  };
  for (const auto& c : cases) {
    const auto run = runPlugin("flow_summary", c.parameter);
    EXPECT_EQ(run.state, c.state) << c.parameter;
    EXPECT_TRUE(contains(run.output, c.message)) << c.parameter << "\n" << run.output;
  }
}

class CaptureStatus : public kova_test::DatabaseTest {
 protected:
  std::string pidFile(int port) const { return dir_.path() + "/p" + std::to_string(port) + ".pid"; }
  kova_test::PluginRun status(const std::string& channel, int port) {
    return runPlugin("capture_status",
                     "-c " + channel + " -p " + std::to_string(port) + " -r " + dir_.path());
  }

  kova_test::TempDir dir_;
  kova_test::ProcessesUnder captures_{dir_.path()};  // destroyed before dir_
};

TEST_F(CaptureStatus, RunningCaptureIsReportedAsJson) {
  // nfcapd started with the arguments the capture supervisor gives it.
  const int port = kova_test::freeUdpPort();
  const std::string command = "/usr/bin/nfcapd -D -p " + std::to_string(port) +
                              " -B 200000 -S 1 -P " + pidFile(port) + " -z -I edge -w " +
                              dir_.path() + " >/dev/null 2>&1";
  ASSERT_EQ(system(command.c_str()), 0);
  pid_t pid = 0;
  ASSERT_TRUE(kova_test::waitFor([&] {
    pid = std::atoi(kova_test::readFile(pidFile(port)).c_str());
    return pid > 0 && !kova_test::processEnded(pid);
  }));
  const auto run = status("edge", port);
  ASSERT_EQ(run.state, 0) << run.output;
  EXPECT_EQ(jsonValue(run.output, "pid"), std::to_string(pid));
  EXPECT_EQ(jsonValue(run.output, "state"), "running");
  const auto other = status("core", port);
  EXPECT_EQ(other.state, 2);
  EXPECT_TRUE(contains(other.output, "captures for another channel")) << other.output;

  kill(pid, SIGTERM);
  ASSERT_TRUE(kova_test::waitFor([&] { return kova_test::processEnded(pid); }));
  const auto down = status("edge", port);
  EXPECT_EQ(down.state, 2);
  EXPECT_TRUE(contains(down.output, "CRITICAL: capture of channel edge (port " +
                                        std::to_string(port) + ") is down: no pid file"))
      << down.output;
}

TEST_F(CaptureStatus, PidFilesThatNameNoCaptureMeanItIsDown) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::pair<std::string, std::string> cases[] = {
      {"12ab\n", "holds no process id"},
      {"0\n", "holds no process id"},
      {std::to_string(gone) + "\n",
       "process " + std::to_string(gone) + " of " + pidFile(9) + " is not running"},
      {std::to_string(getpid()) + "\n", "not a capture tool"},
  };
  for (const auto& [content, message] : cases) {
    writeFile(pidFile(9), content);
    const auto run = status("edge", 9);
    EXPECT_EQ(run.state, 2) << content;
    EXPECT_TRUE(contains(run.output, message)) << content << "\n" << run.output;
  }
  EXPECT_EQ(runPlugin("capture_status", "-c edge -r " + dir_.path()).state, 3);
}

}  // namespace
