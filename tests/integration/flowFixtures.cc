// Captures, ports, commands, plugin runs and process clean-up for the
// capture and integration tests.
#include "flowFixtures.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "pgHarness.h"
#include "service.h"
#include "testUtil.h"

namespace kova_test {

std::string dataFile(const std::string& name) {
  return std::string(KOVA_SOURCE_DIR) + "/tests/integration/data/" + name;
}

int freeUdpPort() {
  for (;;) {
    const int port = 20000 + static_cast<int>(std::random_device{}() % 12000);
    if (udpBacklog(port) < 0) return port;
  }
}

// From the lines "sl local_address rem_address st tx_queue:rx_queue ..." (hex)
// of /proc/net/udp and /proc/net/udp6.
int udpBacklog(int port) {
  int backlog = -1;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"})
    for (const std::string& line : splitLines(readFile(table))) {
      int local = 0, queued = 0;
      if (std::sscanf(line.c_str(), "%*s %*[0-9A-F]:%X %*s %*s %*X:%X", &local, &queued) == 2 &&
          local == port)
        backlog = std::max(backlog, 0) + queued;
    }
  return backlog;
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

// pkill and pgrep skip themselves; an ended process no longer shows its
// command line, even as a zombie.
ProcessesUnder::~ProcessesUnder() {
  ChildProcess({"/usr/bin/pkill", "-KILL", "-f", root}).wait();
  waitFor(
      [&] {
        return ChildProcess({"/usr/bin/pgrep", "-f", root}).wait() != 0;
      },
      std::chrono::seconds(10));
}

}  // namespace kova_test
