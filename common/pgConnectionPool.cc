// pgConnectionPool: round-robin pick, prepare everywhere, optional trace.
#include "pgConnectionPool.h"

#include "exceptions.h"
#include "log.h"
#include "mutexLock.h"

pgConnectionPool::pgConnectionPool(std::string conninfo_text, int nbConnection)
    : conninfo(std::move(conninfo_text)), next_connection(0), debug_mode(false) {
  if (nbConnection < 1)
    throw PostgresqlException("connection pool needs at least one connection, got " +
                              std::to_string(nbConnection));
  // A failure part-way unwinds `connections`, closing what was opened.
  for (int i = 0; i < nbConnection; ++i)
    connections.push_back(std::make_unique<pgSafeThread>(conninfo));
  pthread_mutex_init(&mutex, nullptr);
}

pgConnectionPool::~pgConnectionPool() {
  {
    MutexLock lock(&mutex);
    connections.clear();
  }
  pthread_mutex_destroy(&mutex);
}

pgSafeThread* pgConnectionPool::getNextConnection() {
  MutexLock lock(&mutex);
  uint32_t index = next_connection;
  if (index >= connections.size()) index = 0;
  next_connection = index + 1;
  return connections[index].get();
}

int pgConnectionPool::getConnectionNumber() {
  MutexLock lock(&mutex);
  return static_cast<int>(connections.size());
}

std::string pgConnectionPool::getClientEncoding() {
  return getNextConnection()->getClientEncoding();
}

void pgConnectionPool::trace(const PGresult* result) {
  if (!debug_mode) return;
  uint32_t used;
  {
    MutexLock lock(&mutex);
    used = next_connection - 1;
  }
  write_raw("   [ " + std::to_string(used) +
            " ] exec status: " + PQresStatus(PQresultStatus(result)) + "\n");
}

// The connection's exceptions pass through as they are (a lost connection
// stays one).
PGresult* pgConnectionPool::traced(PGresult* result) {
  trace(result);
  return result;
}

PGresult* pgConnectionPool::executeRequest(std::string sql) {
  return traced(getNextConnection()->executeRequest(std::move(sql)));
}

PGresult* pgConnectionPool::executeParamRequest(std::string sql, std::vector<std::string> params) {
  return traced(getNextConnection()->executeParamRequest(std::move(sql), std::move(params)));
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name) {
  return traced(getNextConnection()->executePrepareRequest(std::move(name)));
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name,
                                                  std::vector<std::string> params) {
  return traced(getNextConnection()->executePrepareRequest(std::move(name), std::move(params)));
}

void pgConnectionPool::prepareRequest(std::string name, std::string sql, int nParams) {
  std::string failure;
  {
    MutexLock lock(&mutex);
    for (auto& connection : connections) {
      try {
        connection->prepareRequest(name, sql, nParams);
      } catch (const PostgresqlException& error) {
        failure = error.what();
        break;
      }
    }
  }
  if (!failure.empty()) throw PostgresqlException(failure);
}

void pgConnectionPool::prepareRequest(std::string name, std::string sql) {
  prepareRequest(std::move(name), std::move(sql), 0);
}

void pgConnectionPool::enableDebugMode(bool on) { debug_mode = on; }
