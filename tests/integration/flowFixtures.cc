// Packet captures, ports, plugin runs and process clean-up for the
// integration tests.
#include "flowFixtures.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "exceptions.h"
#include "pgHarness.h"
#include "service.h"
#include "testUtil.h"

namespace kova_test {

namespace {

// pcap stores its headers in the writer's byte order, packets in network order.
void putHost32(std::string& out, uint32_t value) { out.append(reinterpret_cast<char*>(&value), 4); }
void putHost16(std::string& out, uint16_t value) { out.append(reinterpret_cast<char*>(&value), 2); }
void putNet16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xff));
}

uint16_t ipChecksum(const std::string& header) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < header.size(); i += 2)
    sum += (static_cast<uint8_t>(header[i]) << 8) | static_cast<uint8_t>(header[i + 1]);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::string transportHeader(const FlowPacket& packet) {
  std::string header;
  putNet16(header, packet.source_port);
  putNet16(header, packet.destination_port);
  if (packet.protocol == 17) {
    putNet16(header, static_cast<uint16_t>(8 + packet.payload_bytes));
    putNet16(header, 0);  // no checksum, allowed over IPv4
    return header;
  }
  header.append(8, '\0');          // sequence and acknowledgement numbers
  header.push_back(0x50);          // 20-byte header
  header.push_back(0x02);          // SYN
  putNet16(header, 65535);         // window
  header.append(4, '\0');          // checksum, urgent pointer
  return header;
}

std::string ethernetFrame(const FlowPacket& packet, uint16_t id) {
  const std::string transport = transportHeader(packet) + std::string(packet.payload_bytes, 'k');
  std::string ip;
  ip.push_back(0x45);
  ip.push_back(0);
  putNet16(ip, static_cast<uint16_t>(20 + transport.size()));
  putNet16(ip, id);
  putNet16(ip, 0);
  ip.push_back(64);
  ip.push_back(static_cast<char>(packet.protocol));
  putNet16(ip, 0);
  ip += std::string("\xc0\x00\x02\x01", 4);  // 192.0.2.1
  ip += std::string("\xc6\x33\x64\x02", 4);  // 198.51.100.2
  const uint16_t checksum = ipChecksum(ip);
  ip[10] = static_cast<char>(checksum >> 8);
  ip[11] = static_cast<char>(checksum & 0xff);
  return std::string("\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01\x08\x00", 14) + ip + transport;
}

}  // namespace

std::vector<FlowPacket> distinctFlows(int udp, int tcp) {
  std::vector<FlowPacket> packets;
  for (int i = 0; i < udp; ++i)
    packets.push_back({17, static_cast<uint16_t>(40000 + i), 53, static_cast<uint16_t>(20 + i)});
  for (int i = 0; i < tcp; ++i)
    packets.push_back({6, static_cast<uint16_t>(41000 + i), 443, 0});
  return packets;
}

void writePcap(const std::string& path, const std::vector<FlowPacket>& packets, int64_t seconds) {
  std::string out;
  putHost32(out, 0xa1b2c3d4);
  putHost16(out, 2);
  putHost16(out, 4);
  putHost32(out, 0);      // time zone
  putHost32(out, 0);      // accuracy
  putHost32(out, 65535);  // snap length
  putHost32(out, 1);      // Ethernet
  uint16_t id = 1;
  for (const FlowPacket& packet : packets) {
    const std::string frame = ethernetFrame(packet, id++);
    putHost32(out, static_cast<uint32_t>(seconds));
    putHost32(out, 0);
    putHost32(out, static_cast<uint32_t>(frame.size()));
    putHost32(out, static_cast<uint32_t>(frame.size()));
    out += frame;
  }
  writeFile(path, out);
}

int freeUdpPort() {
  static std::mt19937 random{std::random_device{}()};
  for (;;) {
    const int port = std::uniform_int_distribution<int>(20000, 32000)(random);
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;  // dual-stack: IPv4 and IPv6 together
    address.sin6_port = htons(static_cast<uint16_t>(port));
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
}

// Lines of /proc/net/udp*: "sl local_address rem_address st tx_queue:rx_queue ...",
// the local port in hex after the colon, the queues in hex.
long udpBytesQueued(int port) {
  long queued = 0;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    const std::vector<std::string> lines = splitLines(readFile(table));
    for (size_t i = 1; i < lines.size(); ++i) {
      std::istringstream fields(lines[i]);
      std::string slot, local, remote, state, queues;
      fields >> slot >> local >> remote >> state >> queues;
      const auto colon = local.rfind(':');
      if (colon == std::string::npos || std::stoi(local.substr(colon + 1), nullptr, 16) != port)
        continue;
      queued += std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
  }
  return queued;
}

PluginRun runPlugin(const std::string& name, const std::string& parameter) {
  service run;
  run.name = name;
  run.plugin_id = 1;
  run.plugin_path = std::string(KOVA_SOURCE_DIR) + "/plugins/" + name;
  run.Setparameter(parameter);
  try {
    run.execute();
  } catch (const serviceException&) {
    // A silent plugin: state and output as the runner left them.
  }
  return {run.state, run.output};
}

std::string jsonValue(const std::string& document, const std::string& path) {
  std::string quoted = "'";
  for (char c : document) quoted += (c == '\'') ? std::string("''") : std::string(1, c);
  quoted += "'";
  return TestDatabase::instance().scalar("SELECT (" + quoted + "::json) #>> '{" + path + "}'");
}

ProcessesUnder::~ProcessesUnder() {
  for (pid_t pid : running()) kill(pid, SIGTERM);
  waitFor([&] { return running().empty(); }, std::chrono::seconds(10));
  for (pid_t pid : running()) kill(pid, SIGKILL);
}

std::vector<pid_t> ProcessesUnder::running() const {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == getpid() || processEnded(pid)) continue;
    if (contains(readFile("/proc/" + name + "/cmdline"), root_)) found.push_back(pid);
  }
  return found;
}

bool processEnded(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::string::size_type close = stat.rfind(')');
  return close == std::string::npos || stat[close + 2] == 'Z';
}

}  // namespace kova_test
