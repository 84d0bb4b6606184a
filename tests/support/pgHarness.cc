// The test database of a test binary, in pg_virtualenv's server.
#include "pgHarness.h"

#include <libpq-fe.h>

#include <cctype>
#include <cerrno>  // program_invocation_short_name
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>

#include "testUtil.h"

namespace kova_test {

namespace {

const char* const kTables =
    "flows_stats, flows_updel_collector, flows_collector, flows_channel, flows_collector_plugins";

// A blank, a quote, a backslash and "=" in every test's password (see
// password()): a program that quotes it wrongly for libpq cannot log in.
// Here quoted for libpq, and as an SQL literal.
const char* const kPasswordConninfo = "'p w\\'d\\\\x=y'";
const char* const kPasswordSql = "'p w''d\\x=y'";

// The server's superuser, from the PG* variables that pg_virtualenv exports:
// read before main() (no thread runs yet, so the environment may change),
// then removed so that no program a test starts can log in with them.
const std::map<std::string, std::string> kSuperuser = [] {
  std::map<std::string, std::string> found;
  for (const char* name : {"PGHOST", "PGPORT", "PGUSER", "PGPASSWORD", "PGDATABASE", "PGSYSCONFDIR",
                           "PGSERVICE", "PGHOSTADDR"}) {
    const char* value = std::getenv(name);
    found[name] = value == nullptr ? "" : value;  // a missing one reads as empty
    unsetenv(name);
  }
  return found;
}();

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

Connection connect(const std::string& conninfo) {
  Connection connection(PQconnectdb(conninfo.c_str()), &PQfinish);
  if (PQstatus(connection.get()) != CONNECTION_OK)
    throw std::runtime_error("cannot connect to the test database: " +
                             std::string(PQerrorMessage(connection.get())));
  // Set-up statements are noisy ("... does not exist, skipping").
  PQsetNoticeProcessor(
      connection.get(), [](void*, const char*) {}, nullptr);
  return connection;
}

Result run(PGconn* connection, const std::string& sql) {
  Result result(PQexec(connection, sql.c_str()), &PQclear);
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    throw std::runtime_error("test database statement failed: " +
                             std::string(PQerrorMessage(connection)) + "statement: " + sql);
  return result;
}

// "kova_" and the binary's name, lower case, as a plain identifier.
std::string nameOfThisBinary() {
  std::string name = std::string("kova_") + program_invocation_short_name;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? std::tolower(c) : '_';
  return name.substr(0, 63);
}

}  // namespace

TestDatabase& TestDatabase::instance() {
  static TestDatabase database;
  return database;
}

TestDatabase::TestDatabase() : name_(nameOfThisBinary()) {
  if (kSuperuser.at("PGPORT").empty())
    throw std::runtime_error(
        "no test server: run the tests under `pg_virtualenv -t` (scripts/test does)");
  host_ = kSuperuser.at("PGHOST");
  port_ = std::stoi(kSuperuser.at("PGPORT"));
  {
    Connection admin = connect("host=" + host_ + " port=" + std::to_string(port_) +
                               " dbname=postgres user=" + kSuperuser.at("PGUSER") +
                               " password=" + kSuperuser.at("PGPASSWORD"));
    run(admin.get(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    run(admin.get(), "DROP ROLE IF EXISTS " + name_);
    run(admin.get(), "CREATE ROLE " + name_ + " LOGIN PASSWORD " + kPasswordSql);
    run(admin.get(), "CREATE DATABASE " + name_ + " OWNER " + name_);
  }
  const std::string schema = readFile(KOVA_SCHEMA_FILE);
  if (schema.empty()) throw std::runtime_error("cannot read " KOVA_SCHEMA_FILE);
  exec(schema);
}

std::string TestDatabase::conninfo() const {
  return "host=" + host_ + " port=" + std::to_string(port_) + " dbname=" + name_ +
         " user=" + name_ + " password=" + kPasswordConninfo;
}

void TestDatabase::resetTables() {
  exec(std::string("TRUNCATE ") + kTables + " RESTART IDENTITY CASCADE");
}

void TestDatabase::exec(const std::string& sql, const std::string& database) {
  // Of two values of one keyword, libpq takes the last.
  run(connect(conninfo() + (database.empty() ? "" : " dbname=" + database)).get(), sql);
}

std::vector<std::vector<std::string>> TestDatabase::query(const std::string& sql) {
  Connection connection = connect(conninfo());
  Result result = run(connection.get(), sql);
  std::vector<std::vector<std::string>> rows(PQntuples(result.get()));
  for (int row = 0; row < PQntuples(result.get()); ++row)
    for (int column = 0; column < PQnfields(result.get()); ++column)
      rows[row].push_back(PQgetvalue(result.get(), row, column));
  return rows;
}

std::string TestDatabase::scalar(const std::string& sql) {
  std::vector<std::vector<std::string>> rows = query(sql);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

std::string TestDatabase::postgresqlSection(int connection_number) const {
  return "[POSTGRESQL]\nconnection_number=" + std::to_string(connection_number) +
         "\nPGSQL_host=" + host_ + "\nPGSQL_port=" + std::to_string(port_) + "\nPGSQL_db=" + name_ +
         "\nPGSQL_username=" + name_ + "\nPGSQL_pwd=" + password() + "\n";
}

}  // namespace kova_test
