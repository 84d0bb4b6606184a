// A throwaway PostgreSQL 15 server for the tests of one test binary.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace kova_test {

// Started on first use (initdb into a temporary directory, run as the
// unprivileged `postgres` user when the tests run as root, listening on
// 127.0.0.1 on a free port with password authentication), loaded with
// sql/schema.sql, and stopped when the test binary exits. A watchdog
// process stops it and removes its directory even when the test binary
// crashes or is killed.
class TestDatabase {
 public:
  static TestDatabase& instance();

  // "host=127.0.0.1 port=<port> dbname=<db> user=<user> password=<pwd>"
  std::string conninfo() const;
  std::string host() const { return "127.0.0.1"; }
  int port() const { return port_; }
  std::string dbname() const { return "kova_test"; }
  std::string user() const { return "kova"; }
  std::string password() const { return "kova-test-pwd"; }

  // Empties the five tables and restarts their id sequences.
  void resetTables();
  // Runs one or more statements; throws std::runtime_error with the server's
  // message on failure.
  void exec(const std::string& sql);
  // Rows of a query, every value as text ("" for NULL).
  std::vector<std::vector<std::string>> query(const std::string& sql);
  // First column of the first row ("" when there is no row).
  std::string scalar(const std::string& sql);
  // Stops and starts the server again (same port, same data).
  void restartServer();

  // INI text of a configuration file whose POSTGRESQL section points here.
  std::string postgresqlSection(int connection_number = 2) const;

 private:
  TestDatabase();
  ~TestDatabase();
  void start();
  void startWatchdog();
  void initCluster();
  void startServer();
  void stopServer(const std::string& mode);
  void createRoleAndDatabase();
  void removeEverything();
  // Runs a PostgreSQL tool (as `postgres` when root); throws with the tool's
  // output and the server log when it fails.
  void runTool(const std::vector<std::string>& args);
  std::string failureReport(const std::string& what) const;

  // Used from the tests' main thread only (construction, restartServer,
  // exit); the statement helpers only read port_.
  int port_ = 0;
  std::string root_dir_;  // temporary directory: data, socket, logs
  std::string data_dir_;
  int watchdog_pipe_ = -1;  // write end; the watchdog cleans up at its EOF
  int output_fd_ = -1;      // where the tools' output goes
  pid_t owner_pid_ = 0;     // only this process stops the server at exit
  bool running_ = false;
  std::string startup_error_;
};

// Fixture for database tests: every test starts with empty tables.
class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { db().resetTables(); }
  static TestDatabase& db() { return TestDatabase::instance(); }
};

}  // namespace kova_test
