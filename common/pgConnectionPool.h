// A fixed set of PostgreSQL connections handed out round-robin.
#pragma once

#include <libpq-fe.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pgSafeThread.h"

// Thread-safe: any thread may call any operation. The pool mutex is held
// only to pick a connection (and across the whole loop of prepareRequest);
// statements then run under the picked connection's own mutex. Lock order:
// pool mutex before connection mutex, never the reverse.
// Execute operations return a PGresult* owned by the caller (PQclear).
class pgConnectionPool {
 public:
  // Opens nbConnection connections. Throws PostgresqlException when
  // nbConnection < 1 or when a connection fails (those already opened are
  // closed again).
  pgConnectionPool(std::string conninfo, int nbConnection);
  pgConnectionPool(const pgConnectionPool&) = delete;
  pgConnectionPool& operator=(const pgConnectionPool&) = delete;
  virtual ~pgConnectionPool();

  // 0, 1, ..., n-1, 0, ... across all callers.
  pgSafeThread* getNextConnection();
  int getConnectionNumber();
  std::string getClientEncoding();

  PGresult* executeRequest(std::string sql);
  PGresult* executeParamRequest(std::string sql, std::vector<std::string> params);
  PGresult* executePrepareRequest(std::string name);
  PGresult* executePrepareRequest(std::string name, std::vector<std::string> params);
  // Prepares on every connection, in order, under the pool mutex; stops at
  // the first failure (earlier connections stay prepared).
  void prepareRequest(std::string name, std::string sql, int nParams);
  void prepareRequest(std::string name, std::string sql);

  // When on, each successful execute writes "   [ i ] exec status: ..." to
  // the log stream.
  void enableDebugMode(bool on);

  std::vector<std::unique_ptr<pgSafeThread>> connections;  // guarded by mutex
  std::string conninfo;
  pthread_mutex_t mutex;     // guards connections, next_connection
  uint32_t next_connection;  // guarded by mutex
  std::atomic<bool> debug_mode;

 private:
  void trace(const PGresult* result);
  PGresult* traced(PGresult* result);
};
