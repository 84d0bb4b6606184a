// What the capture and integration tests need around the programs: the
// checked-in captures, free UDP ports, commands run to their end, runs of
// the bundled plugins, JSON values, and the clean-up of the capture tools a
// test caused.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kova_test {

// A file of tests/integration/data (see the README there).
std::string dataFile(const std::string& name);

// A UDP port no socket is bound to, below the ephemeral range where other
// tests pick theirs.
int freeUdpPort();
// The bytes not yet read by the UDP sockets bound to a local port (IPv4 and
// IPv6), -1 when none is bound.
int udpBacklog(int port);

// argv run to its end in a session of its own (a stray group signal from
// the program under test never reaches the test), standard output and
// error written to `out`; its exit code, -1 when it did not exit by itself
// within limit (it is killed then).
int runToEnd(std::vector<std::string> argv, const std::string& out,
             std::chrono::seconds limit = std::chrono::seconds(120));

// A run of a bundled plugin the way the collector runs one, with these
// arguments and an empty environment (a silent one throws as it does there).
struct PluginRun {
  int state;
  std::string output;
};
PluginRun runPlugin(const std::string& name, const std::vector<std::string>& arguments);

// Value at a JSON path ("flows", "protocols,udp,flows") of a document, as
// PostgreSQL's json type reads it: the same parser as the flows_stats
// column. Throws when the text is not JSON.
std::string jsonValue(const std::string& document, const std::string& path);

// Ends, by pid, the processes whose command line names `root` (the capture
// tools and exporters a test started detach and are nobody's children).
struct ProcessesUnder {
  ~ProcessesUnder();
  std::string root;
};

}  // namespace kova_test
