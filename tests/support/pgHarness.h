// A throwaway PostgreSQL 15 server for the tests of one test binary.
#pragma once

#include <gtest/gtest.h>

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
  int port_ = 0;
  std::string data_dir_;
  int watchdog_pipe_ = -1;
};

// Fixture for database tests: every test starts with empty tables.
class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { db().resetTables(); }
  static TestDatabase& db() { return TestDatabase::instance(); }
};

}  // namespace kova_test
