// A TCP proxy between a program and PostgreSQL, to give the link a
// round-trip time (this kernel has no netem) or to break it at the worst
// moment. Used by the benchmark and by the tests of the result path.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kova_bench {

// Thread-safe. Listens on 127.0.0.1 at a free port and forwards every
// connection to host (a directory: the server's Unix socket there) and
// port, each way held back by half of rtt. Everything is closed and joined
// on destruction.
class LinkProxy {
 public:
  LinkProxy(const std::string& host, int port, std::chrono::microseconds rtt);
  LinkProxy(const LinkProxy&) = delete;
  LinkProxy& operator=(const LinkProxy&) = delete;
  ~LinkProxy();

  int port() const { return port_; }
  // The server's next reply that completes a COMMIT, on a connection whose
  // client has sent `marker` since, is swallowed and the connection cut both
  // ways: the transaction committed, the client never hears it.
  void cutAfterNextCommit(const std::string& marker);
  int cuts() const { return cuts_; }

 private:
  struct Link;
  void acceptLoop();
  void pump(Link* link, bool from_server);

  std::chrono::microseconds half_rtt_;
  std::string host_;
  int target_port_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> armed_{false};
  std::string marker_;  // guarded by mutex_
  std::atomic<int> cuts_{0};
  std::mutex mutex_;
  std::vector<std::unique_ptr<Link>> links_;  // guarded by mutex_
  std::vector<std::thread> pumps_;            // guarded by mutex_
  std::thread acceptor_;
};

}  // namespace kova_bench
