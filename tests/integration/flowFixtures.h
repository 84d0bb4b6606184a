// What the integration tests need around the programs: made-up packet
// captures for a flow exporter to read, free UDP ports, runs of the bundled
// plugins, and the clean-up of the capture tools a test caused.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kova_test {

// One packet of a flow of its own (distinct ports make distinct flows).
struct FlowPacket {
  uint8_t protocol;  // 6 (TCP) or 17 (UDP)
  uint16_t source_port;
  uint16_t destination_port;
  uint16_t payload_bytes;
};

// `udp` UDP flows and `tcp` TCP flows of one packet each, between two
// documentation addresses.
std::vector<FlowPacket> distinctFlows(int udp, int tcp);

// A pcap file of Ethernet/IPv4 packets, all stamped `seconds` (Unix time).
void writePcap(const std::string& path, const std::vector<FlowPacket>& packets, int64_t seconds);

// A UDP port free on every address right now, below the ephemeral range
// where other tests pick theirs.
int freeUdpPort();

// Bytes waiting in the receive queues of the UDP sockets bound to a local
// port (IPv4 and IPv6): 0 once the listener has read everything sent to it.
long udpBytesQueued(int port);

// A run of a bundled plugin the way the collector runs one: the parameter
// string split as the collector splits it, an empty environment.
struct PluginRun {
  int state;
  std::string output;
};
PluginRun runPlugin(const std::string& name, const std::string& parameter);

// Value at a JSON path ("flows", "protocols,udp,flows") of a document, as
// PostgreSQL's json type reads it: the same parser as the flows_stats
// column. Throws when the text is not JSON.
std::string jsonValue(const std::string& document, const std::string& path);

// Ends, by pid, the processes whose command line names `root` (the capture
// tools and exporters a test started detach and are nobody's children).
class ProcessesUnder {
 public:
  explicit ProcessesUnder(std::string root) : root_(std::move(root)) {}
  ProcessesUnder(const ProcessesUnder&) = delete;
  ProcessesUnder& operator=(const ProcessesUnder&) = delete;
  ~ProcessesUnder();
  std::vector<pid_t> running() const;

 private:
  std::string root_;
};

// Gone, or a zombie nobody has reaped yet.
bool processEnded(pid_t pid);

}  // namespace kova_test
