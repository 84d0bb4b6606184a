// Captures, ports, commands, plugin runs and process clean-up for the
// capture and integration tests.
#include "flowFixtures.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>

#include "pgHarness.h"
#include "service.h"
#include "testUtil.h"

namespace kova_test {

std::string dataFile(const std::string& name) {
  return std::string(KOVA_SOURCE_DIR) + "/tests/integration/data/" + name;
}

int freeUdpPort() {
  static std::mt19937 random{std::random_device{}()};
  for (;;) {
    const int port = std::uniform_int_distribution<int>(20000, 32000)(random);
    if (udpPortFree(port)) return port;
  }
}

// The "tx_queue:rx_queue" fields (hex) of the UDP sockets bound to a local
// port, from the lines "sl local_address rem_address st tx_queue:rx_queue ..."
// of /proc/net/udp and /proc/net/udp6.
static std::vector<std::string> udpQueues(int port) {
  char local[8];
  std::snprintf(local, sizeof local, ":%04X", port);
  std::vector<std::string> found;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    for (const std::string& line : splitLines(readFile(table))) {
      std::istringstream fields(line);
      std::string slot, address, remote, state, queues;
      fields >> slot >> address >> remote >> state >> queues;
      if (address.ends_with(local)) found.push_back(queues);
    }
  }
  return found;
}

bool udpPortFree(int port) { return udpQueues(port).empty(); }

bool udpQueuesEmpty(int port) {
  return std::ranges::all_of(udpQueues(port), [](const std::string& queues) {
    return queues.ends_with(":00000000");
  });
}

int runToEnd(std::vector<std::string> argv, const std::string& out, std::chrono::seconds limit) {
  argv.insert(argv.begin(), {"/usr/bin/setsid", "/bin/sh", "-c", "exec \"$@\" >\"$0\" 2>&1", out});
  ChildProcess child(argv);  // killed on time-out
  return exitCode(child.wait(limit));
}

PluginRun runPlugin(const std::string& name, const std::vector<std::string>& arguments) {
  service run;
  run.name = name;
  run.plugin_id = 1;
  run.plugin_path = std::string(KOVA_SOURCE_DIR) + "/plugins/" + name;
  run.parameter_list = arguments;
  run.execute();
  return {run.state, run.output};
}

// Dollar-quoted: the documents are the plugins' JSON, which never holds "$json$".
std::string jsonValue(const std::string& document, const std::string& path) {
  return TestDatabase::instance().scalar("SELECT ($json$" + document + "$json$::json) #>> '{" +
                                         path + "}'");
}

// Live processes whose command line names root.
static std::vector<pid_t> runningUnder(const std::string& root) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == getpid() || processEnded(pid)) continue;
    if (contains(readFile("/proc/" + name + "/cmdline"), root)) found.push_back(pid);
  }
  return found;
}

ProcessesUnder::~ProcessesUnder() {
  for (pid_t pid : runningUnder(root)) kill(pid, SIGTERM);
  waitFor([&] { return runningUnder(root).empty(); }, std::chrono::seconds(10));
  for (pid_t pid : runningUnder(root)) kill(pid, SIGKILL);
}

bool processEnded(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::string::size_type close = stat.rfind(')');
  return close == std::string::npos || stat[close + 2] == 'Z';
}

}  // namespace kova_test
