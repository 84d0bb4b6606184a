// Running the real kovaFlowCollector against the test database: its
// configuration, its process, its log and status file, and the rows the
// administration side writes for it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pgHarness.h"
#include "testUtil.h"

namespace kova_test {

// Generous, because the daemon also runs under the sanitizers on a busy
// two-core machine; a bound is only reached when something is broken.
inline constexpr std::chrono::seconds kDaemonWait{60};

inline TestDatabase& db() { return TestDatabase::instance(); }

// waitFor with the daemon's bound.
inline bool waitUntil(const std::function<bool()>& predicate) {
  return waitFor(predicate, kDaemonWait);
}
// Waits up to kDaemonWait until the query's one value reads expected.
bool waitForScalar(const std::string& sql, const std::string& expected);

// The administration side's pending row for a collector ('ADD', 'UPDATE').
std::string pendingSql(const std::string& type, int collector_id);

// The [KOVA] keys, the pool size and the -D option of one daemon run.
struct DaemonSettings {
  int core_number = 1;
  int thread_number = 2;
  int interval_check_update = 300;
  int connection_number = 2;
  bool debug = false;
  std::string extra_kova{};  // more "key=value\n" lines for [KOVA]
  // Off unless a test asks: daemons of parallel tests would share the default.
  std::string metrics_listen{};
  // setpriv options that run the daemon as another user (--reuid and so on).
  std::vector<std::string> setpriv_options{};
};

// One kovaFlowCollector process with its configuration file, daemon log and
// status file in a temporary directory, which also holds the test's plugin
// scripts. What the process writes to its original standard output and
// error (before its log is attached, or when it cannot be) is kept in
// console.txt. The process is killed on destruction if still running.
class CollectorDaemon {
 public:
  explicit CollectorDaemon(DaemonSettings settings = {});
  CollectorDaemon(const CollectorDaemon&) = delete;
  CollectorDaemon& operator=(const CollectorDaemon&) = delete;

  std::string file(const std::string& name) const { return dir_.file(name); }
  std::string configPath() const { return file("flows.conf"); }
  std::string logPath() const { return file("daemon.log"); }
  std::string statusPath() const { return file("status.txt"); }

  // The configuration text the constructor writes for start(); tests that
  // need a broken one rewrite the file.
  std::string configText() const;
  void writeConfig(const std::string& text) const;

  // Writes an executable /bin/sh plugin into the directory; returns its path.
  std::string writePlugin(const std::string& name, const std::string& body) const;

  // Starts the daemon with -f and the configuration (and -D when asked).
  void start();
  // start(), then waits for "KOVA was starting...."; false (with the log
  // and console as a test failure) when it does not come.
  bool startAndWaitRunning();

  std::string log() const { return readFile(logPath()); }
  std::string status() const { return readFile(statusPath()); }
  std::string console() const { return readFile(file("console.txt")); }
  // Lines of the log that contain part.
  int countInLog(const std::string& part) const;
  bool waitForLog(const std::string& part, int count = 1) const;

  // Sends sig (if still running) and returns at once.
  void sendSignal(int sig);
  // SIGTERM, then the exit code once it has ended (-1 when killed by a
  // signal or still running after kDaemonWait).
  int stop();
  // Exit code once it has ended by itself (-1 as above).
  int waitExit();
  bool running() { return process_ && process_->running(); }
  int pid() const { return process_ ? process_->pid() : -1; }

 private:
  DaemonSettings settings_;
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
};

// A loopback TCP port nothing listens on now, for a daemon's metrics_listen.
int freeTcpPort();
// What a shell command prints on its standard output; *status gets its
// exit status.
std::string commandOutput(const std::string& command, int* status = nullptr);

// Rows as the administration side writes them; every function returns the
// new row's id.
int insertPlugin(const std::string& path, const std::string& interval, bool deleted = false);
int insertChannel(const std::string& name, const std::string& port = "9995");

struct CollectorRow {
  int plugin_id = 0;
  std::string name{};
  std::string parameter{};
  int channel_id = 0;            // 0: no channel
  std::string last_execution{};  // SQL expression; empty: never ran (NULL)
  int collector_id = 0;          // 0: taken from the sequence
};
int insertCollector(const CollectorRow& row);
// A plugin row and one collector of it, without parameter or channel.
int insertCollectorOf(const std::string& path, const std::string& every, const std::string& name);

// A column of one flows_collector row, "" when NULL or when the row is gone.
std::string collectorField(int collector_id, const std::string& column);
bool collectorExists(int collector_id);
// Waits up to kDaemonWait until the column reads value.
bool waitForField(int collector_id, const std::string& column, const std::string& value);

// The fixture of a suite whose tests share, in order, what State's constructor
// sets up on empty tables: rows, and daemons it starts. Every test fails at
// once when they did not start (State::started false), since each of its
// checks would only wait for its bound.
template <class State>
class SharedRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    db().resetTables();
    run_ = std::make_unique<State>();
  }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override { ASSERT_TRUE(run_ && run_->started) << "the daemons did not start"; }
  static inline std::unique_ptr<State> run_;
};

}  // namespace kova_test
