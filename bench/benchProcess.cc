// Starting, stopping and measuring the benchmark's programs.
#include "benchProcess.h"

#include <signal.h>
#include <sys/wait.h>

#include <stdexcept>
#include <thread>

#include "benchDatabase.h"

namespace kova_bench {

namespace {

using std::chrono::steady_clock;

std::vector<std::string> redirected(const std::string& console,
                                    const std::vector<std::string>& argv) {
  // The shell only sends the output to a file, then becomes the program
  // (same pid, so /proc/<pid> is the program's own).
  std::vector<std::string> command = {"/bin/sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\" 2>&1",
                                      "sh", console};
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

// The host and port of a conninfo (keys "host=", "port=", then "dbname=",
// blank-separated) or of a configuration section ("PGSQL_host=" and so on,
// one a line) replaced by the proxy's, when there is one.
std::string routed(const Shape& shape, const std::string& text, const std::string& prefix,
                   const std::string& separator) {
  if (shape.proxy_port == 0) return text;
  const std::string host = prefix + "host=";
  return text.substr(0, text.find(host)) + host + "127.0.0.1" + separator + prefix +
         "port=" + std::to_string(shape.proxy_port) + separator +
         text.substr(text.find(prefix + (prefix.empty() ? "dbname=" : "db=")));
}

std::string daemonConfig(const kova_test::TempDir& dir, const Shape& shape, int load_mod,
                         kova_test::TestDatabase& db, const std::string& node_name) {
  // The change watcher polls once at start, then never within a phase.
  return "[LOG]\nlog_info_file=" + dir.file("status.txt") +
         "\nlog_daemon_file=" + dir.file("daemon.log") +
         "\n\n[KOVA]\ncore_number=" + std::to_string(shape.groups) +
         "\nthread_number=" + std::to_string(shape.threads) +
         "\nload_mod=" + std::to_string(load_mod) +
         "\ninterval_check_update=3600\nnode_name=" + node_name + "\n" +
         // The scraper of bench/run polls the default address: the second
         // node of a pair must not take it.
         (node_name == "n2" ? "metrics_listen=\n" : "") + "\n" +
         routed(shape, db.postgresqlSection(shape.connections), "PGSQL_", "\n");
}

}  // namespace

BenchProcess::BenchProcess(std::unique_ptr<kova_test::TempDir> dir,
                           const std::vector<std::string>& argv)
    : dir_(std::move(dir)),
      process_(
          std::make_unique<kova_test::ChildProcess>(redirected(dir_->file("console.txt"), argv))) {}

bool BenchProcess::stop(std::chrono::seconds timeout) {
  process_->signal(SIGTERM);
  const int status = process_->wait(timeout);
  if (status >= 0) return kova_test::exitCode(status) == 0;
  process_->signal(SIGKILL);
  process_->wait();
  return false;
}

void BenchProcess::kill() {
  process_->signal(SIGKILL);
  process_->wait();
}

std::unique_ptr<BenchProcess> startDaemon(const std::string& binary, const Shape& shape,
                                          int load_mod, kova_test::TestDatabase& db,
                                          const std::string& node_name) {
  auto dir = std::make_unique<kova_test::TempDir>();
  kova_test::writeFile(dir->file("flows.conf"), daemonConfig(*dir, shape, load_mod, db, node_name));
  const std::string config = dir->file("flows.conf");
  return std::make_unique<BenchProcess>(std::move(dir),
                                        std::vector<std::string>{binary, "-f", config});
}

bool waitDaemonRunning(BenchProcess& daemon, std::chrono::seconds timeout) {
  return kova_test::waitFor(
      [&] {
        return kova_test::contains(kova_test::readFile(daemon.file("daemon.log")),
                                   "#INFO#KOVA was starting....");
      },
      timeout);
}

std::unique_ptr<BenchProcess> startBaseline(const std::string& binary, const std::string& plugin,
                                            const Shape& shape, int collectors,
                                            kova_test::TestDatabase& db) {
  return std::make_unique<BenchProcess>(
      std::make_unique<kova_test::TempDir>(),
      std::vector<std::string>{binary, routed(shape, db.conninfo(), "", " "), plugin,
                               std::to_string(shape.groups), std::to_string(shape.threads),
                               std::to_string(shape.connections), std::to_string(collectors)});
}

bool waitForRuns(kova_test::TestDatabase& db, long long count, std::chrono::seconds timeout) {
  return kova_test::waitFor([&] { return recordedRuns(db) >= count; }, timeout);
}

Window measure(BenchProcess& process, kova_test::TestDatabase& db,
               std::chrono::milliseconds length) {
  // Each end is read in the same order, the clock just before the count,
  // so that the window's length and its runs cover the same span.
  static const pid_t postmaster = parentOf(std::stoi(db.scalar("SELECT pg_backend_pid()")));
  const double server_before = serverCpu(postmaster);
  const MachineCpu machine_before = machineCpu();
  const ProcessCpu cpu_before = processCpu(process.pid());
  const auto begin = steady_clock::now();
  const long long runs_before = recordedRuns(db);
  std::this_thread::sleep_for(length);
  if (!process.running()) throw std::runtime_error("the measured program ended during the window");
  const MachineCpu machine_after = machineCpu();
  const ProcessCpu cpu_after = processCpu(process.pid());
  const auto end = steady_clock::now();
  const long long runs_after = recordedRuns(db);
  const double server_after = serverCpu(postmaster);
  Window window;
  window.seconds = std::chrono::duration<double>(end - begin).count();
  window.runs = runs_after - runs_before;
  window.cpu.self = cpu_after.self - cpu_before.self;
  window.cpu.children = cpu_after.children - cpu_before.children;
  window.machine_busy = busyShare(machine_before, machine_after);
  window.server_cpu = server_after - server_before;
  window.rss_mib = residentMiB(process.pid());
  window.peak_rss_mib = peakResidentMiB(process.pid());
  return window;
}

}  // namespace kova_bench
