// One PostgreSQL connection, serialised by its own mutex.
#pragma once

#include <libpq-fe.h>
#include <pthread.h>

#include <string>
#include <vector>

// Every operation takes `mutex` for the statement's duration, so one
// connection is never used by two threads at once. Execute operations
// return a PGresult* that the caller owns and must PQclear; on failure
// they clear the result themselves and throw PostgresqlException.
//
// A connection found broken (server restart, killed backend) before a
// statement is reset and gets back every statement prepared on it; the
// statement that met the break still fails with its usual error.
// A failure that leaves the connection broken (or a reset that does not
// connect) is thrown as PostgresqlConnectionException, so that callers can
// tell "try again later" from "the server refused this statement".
class pgSafeThread {
 public:
  // Throws PostgresqlException(PQerrorMessage + "\n") when it cannot connect.
  explicit pgSafeThread(std::string conninfo);
  pgSafeThread(const pgSafeThread&) = delete;
  pgSafeThread& operator=(const pgSafeThread&) = delete;
  virtual ~pgSafeThread();

  std::string getClientEncoding();
  PGresult* executeRequest(std::string sql);
  PGresult* executeParamRequest(std::string sql, std::vector<std::string> params);
  void prepareRequest(std::string name, std::string sql, int nParams);
  void prepareRequest(std::string name, std::string sql);
  PGresult* executePrepareRequest(std::string name, std::vector<std::string> params);
  PGresult* executePrepareRequest(std::string name);

  PGconn* conn;  // owned; PQfinish in the destructor
  std::string conninfo;
  pthread_mutex_t mutex;  // guards conn (every statement on it), prepared_

 private:
  struct Prepared {
    std::string name;
    std::string sql;
    int nParams;
  };
  // Both require `mutex` held.
  void reconnectIfBroken();
  void prepareLocked(const std::string& name, const std::string& sql, int nParams);

  std::vector<Prepared> prepared_;  // guarded by mutex
};
