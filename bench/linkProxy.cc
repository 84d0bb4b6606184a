// LinkProxy: one thread accepts, two threads per connection pump the bytes.
#include "linkProxy.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <stdexcept>

namespace kova_bench {

namespace {

using std::chrono::steady_clock;

const int kSliceMs = 50;
// A CommandComplete message whose tag is COMMIT, as the server sends it.
const std::string kCommitDone(
    "C\0\0\0\x0b"
    "COMMIT\0",
    12);

int connectTo(const std::string& host, int port) {
  if (!host.empty() && host[0] == '/') {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/.s.PGSQL.%d", host.c_str(), port);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

bool sendAll(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

struct LinkProxy::Link {
  int client = -1;
  int server = -1;
  std::atomic<bool> primed{false};  // the client sent the marker
  void cut() {
    shutdown(client, SHUT_RDWR);
    shutdown(server, SHUT_RDWR);
  }
  ~Link() {
    close(client);
    close(server);
  }
};

LinkProxy::LinkProxy(const std::string& host, int port, std::chrono::microseconds rtt)
    : half_rtt_(rtt / 2), host_(host), target_port_(port) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error(std::string("proxy: cannot listen: ") + strerror(errno));
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

LinkProxy::~LinkProxy() {
  stop_ = true;
  acceptor_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::thread& pump : pumps_) pump.join();
  close(listener_);
}

void LinkProxy::cutAfterNextCommit(const std::string& marker) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& link : links_) link->primed = false;
  marker_ = marker;
  armed_ = true;
}

void LinkProxy::acceptLoop() {
  struct pollfd entry = {listener_, POLLIN, 0};
  while (!stop_) {
    if (poll(&entry, 1, kSliceMs) <= 0) continue;
    auto link = std::make_unique<Link>();
    link->client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    link->server = connectTo(host_, target_port_);
    if (link->client < 0 || link->server < 0) continue;
    Link* raw = link.get();
    std::lock_guard<std::mutex> lock(mutex_);
    links_.push_back(std::move(link));
    pumps_.emplace_back([this, raw] { pump(raw, false); });
    pumps_.emplace_back([this, raw] { pump(raw, true); });
  }
}

// Reads what comes and sends it on once it is half a round trip old.
void LinkProxy::pump(Link* link, bool from_server) {
  const int from = from_server ? link->server : link->client;
  const int to = from_server ? link->client : link->server;
  std::deque<std::pair<steady_clock::time_point, std::string>> held;
  char buffer[65536];
  while (!stop_) {
    int wait_ms = kSliceMs;
    if (!held.empty()) {
      const auto due = std::chrono::duration_cast<std::chrono::milliseconds>(held.front().first -
                                                                             steady_clock::now());
      wait_ms = std::max(0, std::min<int>(kSliceMs, static_cast<int>(due.count()) + 1));
    }
    struct pollfd entry = {from, POLLIN, 0};
    if (poll(&entry, 1, wait_ms) > 0) {
      const ssize_t n = recv(from, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      std::string data(buffer, static_cast<size_t>(n));
      if (!from_server && armed_) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (data.find(marker_) != std::string::npos) link->primed = true;
      }
      if (from_server && link->primed && data.find(kCommitDone) != std::string::npos &&
          armed_.exchange(false)) {
        ++cuts_;
        break;
      }
      held.emplace_back(steady_clock::now() + half_rtt_, std::move(data));
    }
    while (!held.empty() && held.front().first <= steady_clock::now()) {
      if (!sendAll(to, held.front().second)) return link->cut();
      held.pop_front();
    }
  }
  link->cut();
}

}  // namespace kova_bench
