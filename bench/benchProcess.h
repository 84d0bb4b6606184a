// The two measured programs (the daemon and the baseline) as child
// processes, and one measurement window over either.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "pgHarness.h"
#include "procStats.h"
#include "testUtil.h"

namespace kova_bench {

// The same for both programs: core records (groups), workers per record,
// connections per record.
struct Shape {
  int groups = 2;
  int threads = 8;
  int connections = 2;
  int proxy_port = 0;  // not 0: both programs reach the database through 127.0.0.1 there
};

// A program in its own temporary directory, its original standard output
// and error in console.txt there. Killed on destruction if still running.
class BenchProcess {
 public:
  BenchProcess(std::unique_ptr<kova_test::TempDir> dir, const std::vector<std::string>& argv);
  BenchProcess(const BenchProcess&) = delete;
  BenchProcess& operator=(const BenchProcess&) = delete;

  pid_t pid() const { return process_->pid(); }
  std::string file(const std::string& name) const { return dir_->file(name); }
  bool running() { return process_->running(); }
  // SIGTERM, then up to timeout for the exit. False when it had to be
  // killed or exited with a status other than 0.
  bool stop(std::chrono::seconds timeout = std::chrono::seconds(60));
  // SIGKILL and reap: a host that dies without a goodbye.
  void kill();

 private:
  std::unique_ptr<kova_test::TempDir> dir_;
  std::unique_ptr<kova_test::ChildProcess> process_;
};

// kovaFlowCollector on the test database, with its configuration, daemon
// log (daemon.log) and status file in its directory; a node of several
// when node_name is not empty.
std::unique_ptr<BenchProcess> startDaemon(const std::string& binary, const Shape& shape,
                                          int load_mod, kova_test::TestDatabase& db,
                                          const std::string& node_name = "");
// True once the daemon logged "KOVA was starting...." (start-up done,
// collectors loaded, workers started).
bool waitDaemonRunning(BenchProcess& daemon, std::chrono::seconds timeout);

std::unique_ptr<BenchProcess> startBaseline(const std::string& binary, const std::string& plugin,
                                            const Shape& shape, int collectors,
                                            kova_test::TestDatabase& db);

// True once flows_stats holds at least count rows.
bool waitForRuns(kova_test::TestDatabase& db, long long count, std::chrono::seconds timeout);

// What one program did during one window.
struct Window {
  double seconds = 0;
  long long runs = 0;       // rows added to flows_stats
  ProcessCpu cpu;           // used during the window
  double machine_busy = 0;  // share of all cores, every process counted
  double server_cpu = 0;    // PostgreSQL's, seconds
  double rss_mib = 0;       // at the end
  double peak_rss_mib = 0;
  double runsPerSecond() const { return seconds > 0 ? runs / seconds : 0; }
  double cpuMsPerRun() const { return runs > 0 ? cpu.total() * 1000 / runs : 0; }
  double serverMsPerRun() const { return runs > 0 ? server_cpu * 1000 / runs : 0; }
  // Share of one core, in percent.
  double selfCpuPercent() const { return seconds > 0 ? cpu.self * 100 / seconds : 0; }
  double totalCpuPercent() const { return seconds > 0 ? cpu.total() * 100 / seconds : 0; }
};

// Measures for length; throws std::runtime_error when the process ended.
Window measure(BenchProcess& process, kova_test::TestDatabase& db,
               std::chrono::milliseconds length);

}  // namespace kova_bench
