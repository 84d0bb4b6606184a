// The bundled plugins, run as the collector runs them: flow_summary and
// flow_top over real nfcapd files, capture_status on pid files that name
// no capture (the capture tests run it against real ones).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "flowFixtures.h"
#include "testUtil.h"

namespace kova_test {
namespace {

namespace fs = std::filesystem;
using Arguments = std::vector<std::string>;

// The checked-in flow files: 5 UDP and 2 TCP flows (330 bytes) from
// 192.0.2.1; 8 UDP and 4 TCP flows; talkers (see data/README.md).
const std::string kSmall = dataFile("small.nfcapd"), kBigger = dataFile("bigger.nfcapd"),
                  kTalkers = dataFile("talkers.nfcapd");

// No rows: the database only reads the plugins' JSON.
class Plugins : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(data_ + "/edge");
    fs::create_directory(state_);
  }

  // A finished file of a channel, in nfcapd's year/month/day layout, `age` seconds old.
  std::string addFile(const std::string& channel, const std::string& stamp, int age,
                      const std::string& sample = kSmall) {
    const std::string directory = data_ + "/" + channel + "/2026/01/01";
    fs::create_directories(directory);
    const std::string path = directory + "/nfcapd." + stamp;
    fs::copy_file(sample, path, fs::copy_options::overwrite_existing);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age));
    return path;
  }

  // Arguments as the collector passes them once it has split its parameter
  // string (which would take a quote in a channel name for its own).
  PluginRun plugin(const std::string& name, const std::string& channel, Arguments more = {}) {
    // The interval as the collector passes it.
    Arguments arguments = {"-d", data_, "-c", channel, "-i", "60.000000", "-s", state_};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return runPlugin(name, arguments);
  }
  // The flows a run counted (every flow of kSmall and kBigger has one source).
  std::string flows(const std::string& channel, const std::string& name = "flow_summary") {
    return jsonValue(plugin(name, channel).output,
                     name == "flow_top" ? "top,srcip,0,flows" : "flows");
  }

  TempDir dir_;
  const std::string data_ = dir_.file("data"), state_ = dir_.file("state");
};

TEST_F(Plugins, WhatARunOfTwoFilesReports) {
  // Read in one pass of nfdump, but for flow_summary's newest file.
  addFile("edge", "202601010000", 30, kTalkers);
  addFile("edge", "202601010005", 20);
  writeFile(data_ + "/edge/nfcapd.current.4711", "being written");
  const auto summary = plugin("flow_summary", "edge"),
             top = plugin("flow_top", "edge", {"-n", "2"});
  ASSERT_EQ(summary.state, 0) << summary.output;
  EXPECT_EQ(jsonValue(summary.output, "files"), "2");
  EXPECT_EQ(jsonValue(summary.output, "interval"), "60");
  EXPECT_EQ(jsonValue(summary.output, "bytes"), "1694");
  EXPECT_EQ(
      jsonValue(summary.output, "protocols"),
      R"({"tcp":{"flows":4,"packets":4,"bytes":160},"udp":{"flows":8,"packets":8,"bytes":1534},)"
      R"("icmp":{"flows":0,"packets":0,"bytes":0},"other":{"flows":0,"packets":0,"bytes":0}})");
  ASSERT_EQ(top.state, 0) << top.output;
  EXPECT_EQ(jsonValue(top.output, "top,srcip"),
            R"([{"key":"192.0.2.10","flows":1,"packets":1,"bytes":1028},)"
            R"({"key":"192.0.2.1","flows":7,"packets":7,"bytes":330}])");
  EXPECT_EQ(jsonValue(top.output, "top,proto"),
            R"([{"key":"17","flows":8,"packets":8,"bytes":1534},)"
            R"({"key":"6","flows":4,"packets":4,"bytes":160}])");
}

TEST_F(Plugins, EveryFinishedFileIsCountedByExactlyOneRun) {
  for (const std::string name : {"flow_summary", "flow_top"}) {
    const std::string channel = name + "-edge";
    addFile(channel, "202601010000", 30);
    EXPECT_EQ(flows(channel, name), "7") << name;
    // Finished long before it is seen (a late rotation): counted once, and
    // the first file not again.
    const std::string last = addFile(channel, "202601010005", 0);
    EXPECT_EQ(flows(channel, name), "7") << name;
    EXPECT_EQ(jsonValue(plugin(name, channel).output, "files"), "0") << name;
    // A capture restarted within the time slot of its last file adds to it;
    // smaller than before, it is another file under the same name, counted whole.
    std::vector<std::string> counted;
    for (const std::string& sample : {kBigger, kSmall}) {
      fs::copy_file(sample, last, fs::copy_options::overwrite_existing);
      counted.push_back(flows(channel, name));
    }
    EXPECT_EQ(counted, (std::vector<std::string>{"5", "7"})) << name;
    // An unreadable file among others (nfdump then ends well, having read
    // nothing) fails the run, and the others are counted by the next one.
    const std::string bad = addFile(channel, "202601010010", 0);
    writeFile(bad, "not a flow file");
    addFile(channel, "202601010015", 0);
    addFile(channel, "202601010020", 0);
    const auto failed = plugin(name, channel);
    EXPECT_EQ(failed.state, 3) << name;
    EXPECT_TRUE(contains(failed.output, "UNKNOWN: nfdump cannot read " + bad)) << failed.output;
    fs::remove(bad);
    EXPECT_EQ(flows(channel, name), "14") << name;
  }
}

TEST_F(Plugins, ChannelListSumsThemAllAndNamesComeOutAsValidJson) {
  const std::string odd = "quote\" back\\slash \x01 control", list = "edge:" + odd;
  addFile("edge", "202601010000", 10);
  addFile(odd, "202601010000", 10);
  for (const std::string name : {"flow_summary", "flow_top"}) {
    const auto result = plugin(name, list);
    EXPECT_EQ(jsonValue(result.output, "files"), "2") << result.output;
    EXPECT_EQ(jsonValue(result.output, "channel"), list);
  }
  // Captures rotate together: a run may see the file of one channel before
  // the other's, whose file is older; it is counted by the next run.
  addFile(odd, "202601010005", 5);
  EXPECT_EQ(flows(list), "7");
  addFile("edge", "202601010005", 8);
  EXPECT_EQ(flows(list), "7");
}

TEST_F(Plugins, StateOfTheShellVersionIsTakenOver) {
  // What the earlier plugin left after counting the file: a marker with
  // the file's time and a ledger line of its counts.
  const std::string path = addFile("edge", "202601010000", 20), old = state_ + "/edge.60";
  writeFile(old + ".edge.last", "");
  fs::last_write_time(old + ".edge.last", fs::last_write_time(path));
  writeFile(old + ".ledger", "L\t7\t7\t330\t2\t2\t80\t5\t5\t250\t0\t0\t0\t0\t0\t0\t" + path + "\n");
  fs::copy_file(kBigger, path, fs::copy_options::overwrite_existing);
  EXPECT_EQ(flows("edge"), "5");
  EXPECT_FALSE(fs::exists(old + ".ledger"));
  EXPECT_EQ(flows("edge"), "0");
}

TEST_F(Plugins, WhatKeepsARunFromCountingIsReportedWithItsState) {
  // capture_status on pid files that name no capture.
  ChildProcess ended({"/bin/true"});
  ended.wait();
  const std::string pids = dir_.path(), p3 = pids + "/p3.pid", gone = std::to_string(ended.pid());
  for (const auto& [port, content] : std::vector<std::pair<int, std::string>>{
           {1, "12ab\n"}, {2, "0\n"}, {3, gone + "\n"}, {4, std::to_string(getpid())}})
    writeFile(pids + "/p" + std::to_string(port) + ".pid", content);
  const std::vector<std::tuple<std::string, Arguments, int, std::string>> cases = {
      {"flow_summary",
       {"-d", data_, "-c", "edge:nowhere", "-i", "60"},
       2,
       "CRITICAL: channel nowhere has no capture directory " + data_ + "/nowhere"},
      {"flow_summary",
       {"-d", data_, "-c", "edge", "-i", "60", "-s", dir_.file("none")},
       3,
       "state directory " + dir_.file("none") + " does not exist"},
      {"flow_top", {"-d", data_, "-c", "edge", "-i"}, 3, "UNKNOWN: option -i requires argument"},
      {"capture_status", {"-c", "edge", "-p", "1", "-r", pids}, 2, "holds no process id"},
      {"capture_status", {"-c", "edge", "-p", "2", "-r", pids}, 2, "holds no process id"},
      {"capture_status",
       {"-c", "edge", "-p", "3", "-r", pids},
       2,
       "process " + gone + " of " + p3 + " is not running"},
      {"capture_status", {"-c", "edge", "-p", "4", "-r", pids}, 2, "not a capture tool"},
      {"capture_status",
       {"-c", "edge", "-p", "5", "-r", pids},
       2,
       "CRITICAL: capture of channel edge (port 5) is down: no pid file"},
      {"capture_status", {"-c", "edge", "-r", pids}, 3, "UNKNOWN"},
  };
  for (const auto& [name, arguments, state, message] : cases) {
    const auto result = runPlugin(name, arguments);
    EXPECT_EQ(result.state, state) << name << " " << message;
    EXPECT_TRUE(contains(result.output, message)) << name << "\n" << result.output;
  }
}

}  // namespace
}  // namespace kova_test
