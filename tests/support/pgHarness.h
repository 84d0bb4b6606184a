// The test database of one test binary, in the throwaway PostgreSQL 15
// server that `pg_virtualenv -t` starts around the whole suite.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kova_test {

// On first use, connects as the server's superuser (the PG* variables that
// pg_virtualenv exports), creates a role and a database named after the test
// binary, loads sql/schema.sql into it, and unsets those variables so that
// no program a test starts can log in with them by accident. Binaries that
// run at the same time thus never see each other's rows or roles.
class TestDatabase {
 public:
  static TestDatabase& instance();

  // "host=<host> port=<port> dbname=<db> user=<user> password=<pwd>"; the
  // password holds a blank, a quote, a backslash and "=", quoted here.
  std::string conninfo() const;
  std::string host() const { return host_; }
  int port() const { return port_; }
  std::string dbname() const { return name_; }
  std::string user() const { return name_; }
  // As a configuration file holds it.
  std::string password() const { return "p w'd\\x=y"; }

  // Empties the five tables and restarts their id sequences.
  void resetTables();
  // Runs one or more statements, in another database of the server when
  // one is named; throws std::runtime_error with the server's message on
  // failure.
  void exec(const std::string& sql, const std::string& database = "");
  // Rows of a query, every value as text ("" for NULL).
  std::vector<std::vector<std::string>> query(const std::string& sql);
  // First column of the first row ("" when there is no row).
  std::string scalar(const std::string& sql);

  // INI text of a configuration file whose POSTGRESQL section points here.
  std::string postgresqlSection(int connection_number = 2) const;

 private:
  TestDatabase();
  std::string host_;
  int port_ = 0;
  std::string name_;
};

// Fixture for database tests: every test starts with empty tables.
class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { db().resetTables(); }
  static TestDatabase& db() { return TestDatabase::instance(); }
};

}  // namespace kova_test
